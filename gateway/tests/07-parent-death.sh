# When the daemon is killed, the kernel sends each of its children the parent-death signal,
# SIGTERM, and every one of them ends.
. ./lib.sh
watch sample-exit sample-crash
ctl sample-exit run
ctl sample-crash run
start_daemon
await 60 "the first cycle" started sample-exit 1 || exit 1
await 60 "the first cycle" started sample-crash 1 || exit 1
kill -9 "$(pidof supervisor)"
await 60 "the children to end" sh -c "! pidof sample-exit sample-crash >/dev/null" || exit 1
echo "after the daemon was killed:"
grep '^ended:' $log | sort
