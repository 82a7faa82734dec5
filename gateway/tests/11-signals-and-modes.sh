# The daemon as the init script starts it, in the background, here under umask 000: it has
# SIGINT and SIGQUIT ignored, as every program a shell starts with "&"; its watched
# programs start with no signal ignored and none blocked. The runtime directory it makes
# is 0755 and the lock file 0600, whatever the umask.
. ./lib.sh

# signals PID FIELD: the signals of the mask FIELD (SigIgn, SigBlk) of PID, or "none".
signals() {
	mask=$(sed -n "s/^$2:[[:space:]]*//p" /proc/$1/status)
	low=$((0x$(echo "$mask" | sed 's/.*\(........\)$/\1/')))
	list=
	n=1
	while [ $n -le 32 ]; do
		[ $((low >> (n - 1) & 1)) = 0 ] || list="$list $n"
		n=$((n + 1))
	done
	[ -z "$(echo "$mask" | sed 's/........$//; s/0//g')" ] || list="$list, some above 32"
	echo ${list:-none}
}

watch sample-exit
ctl sample-exit run
umask 000
start_daemon
umask 022
await 60 "the first start" started sample-exit 1 || exit 1
daemon=$(pidof supervisor)
program=$(pid_of sample-exit 1)
echo "the daemon ignores: $(signals $daemon SigIgn); blocks: $(signals $daemon SigBlk)"
echo "sample-exit ignores: $(signals $program SigIgn); blocks: $(signals $program SigBlk)"
stat -c '%n: mode %a, owner %u' /tmp/.uci /tmp/.uci/supervisor.run
