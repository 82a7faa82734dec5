# Exit 160 starts a new cycle: BusyBox killall kills every instance by name, the running
# ones of the daemon and a stray one that the daemon never started; every program starts
# again with "-r 160".
. ./lib.sh
watch sample-exit sample-crash
ctl sample-exit "nap 1000; exit 160" run
ctl sample-crash run
(cd $dir && exec ./sample-crash) &
stray=$!
await 60 "the stray instance" started sample-crash 1 || exit 1
start_daemon
await 60 "the new cycle" started sample-exit 2 || exit 1
await 60 "the new cycle" started sample-crash 3 || exit 1
await 60 "the killed instance to be reaped" said "No such pid" || exit 1
wait $stray
echo "the stray sample-crash, started before the daemon: ended by signal $(($? - 128))"
gone "$(pid_of sample-crash 2)" && echo "sample-crash 2, of the first cycle: ended"
starts
output
exit_log
