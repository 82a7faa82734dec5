# A program that exits with 3 is started again after the real 10-second delay, with "-r 3".
. ./lib.sh
watch sample-exit
ctl sample-exit "nap 200; exit 3" run
start_daemon
await 60 "the restart" started sample-exit 2 || exit 1
# From the exit (200 ms after the first start) to the second start; each stamp is cut to
# the millisecond.
gap=$(($(ms_of sample-exit 2) - $(ms_of sample-exit 1) - 200))
if [ $gap -ge 9999 ]; then
	echo "started again 10 s or more after its exit"
else
	echo "started again $gap ms after its exit"
fi
starts
output
exit_log
