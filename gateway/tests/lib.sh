# Helpers of the scenarios, sourced by each (BusyBox sh). The daemon, its configuration and
# the samples with their control scripts lie in /usr/sbin; the samples log their starts to
# /tmp/samples.log; a scenario starts the daemon with the init script, output to /tmp/daemon.out.
dir=/usr/sbin
log=/tmp/samples.log
daemon_out=/tmp/daemon.out

# await SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; after SECONDS it says that
# WHAT did not happen, shows the starts and the daemon's output so far, and fails.
await() {
	aw_deadline=$(($(cut -d. -f1 /proc/uptime) + $1))
	aw_what=$2
	shift 2
	until "$@"; do
		if [ "$(cut -d. -f1 /proc/uptime)" -ge "$aw_deadline" ]; then
			echo "timed out waiting for $aw_what; the starts and the daemon's output:"
			cat $log $daemon_out 2>/dev/null
			return 1
		fi
		usleep 100000
	done
}

# watch NAME...: the watch configuration of the daemon, naming those programs.
watch() {
	{
		printf '{"__watch": {"processes": ['
		sep=
		for name; do
			printf '%s{"base": "%s"}' "$sep" "$name"
			sep=', '
		done
		printf ']}}\n'
	} >$dir/config
}

# ctl NAME LINE...: the control script of the sample NAME, one line per start.
ctl() {
	name=$1
	shift
	printf '%s\n' "$@" >$dir/$name.ctl
}

start_daemon() { /etc/init.d/S50supervisor start >$daemon_out 2>&1; }

# started NAME N: start N of NAME is logged.
started() { grep -q "^$1 $2 pid=" $log 2>/dev/null; }

# said TEXT: the daemon's output holds TEXT.
said() { grep -q -F "$1" $daemon_out; }

# starts: every logged start (name, number, argument vector), by name, each name in order.
starts() { sed -n 's/^\([^ ]* [0-9]*\) pid=[^:]*:/\1:/p' $log | sort -s -k1,1; }

# pid_of NAME N, ppid_of NAME N, ms_of NAME N: of start N of NAME.
pid_of() { sed -n "s/^$1 $2 pid=\([0-9]*\) .*/\1/p" $log; }
ppid_of() { sed -n "s/^$1 $2 pid=[0-9]* ppid=\([0-9]*\) .*/\1/p" $log; }
ms_of() { sed -n "s/^$1 $2 pid=.* ms=\([0-9]*\)\..*/\1/p" $log; }

# gone PID: the process has ended (a zombie counts as ended).
gone() { [ ! -e /proc/$1/stat ] || [ "$(cut -d' ' -f3 /proc/$1/stat)" = Z ]; }

# output: what the daemon and its children printed; the stale instances that a new cycle
# killed are reaped in no fixed order, so their lines are counted at the end.
output() {
	grep -v '^No such pid([0-9]*) for reexec$' $daemon_out
	stale=$(grep -c '^No such pid([0-9]*) for reexec$' $daemon_out)
	[ "$stale" = 0 ] || echo "stale instances reaped: $stale"
}

# exit_log: the exit log of the lock file, timestamps as TIME.
exit_log() {
	sed -e 1d -e 's/^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]\{8\} [0-9]\{4\}: /TIME: /' \
		/tmp/.uci/supervisor.run
}

# package FILE NAME...: a gzip-compressed tar package, made with BusyBox tar, of the named
# files of /tmp/pkg.
package() {
	pk_file=$1
	shift
	tar -czf "$pk_file" -C /tmp/pkg "$@"
}

# installs_plugin PACKAGE: sample-exit leaves PACKAGE as the upgrade package and exits with
# 130 at its first start, and runs on at the later ones.
installs_plugin() { ctl sample-exit "nap 300; put $1 /tmp/.uci//ttupgrade.tgz; exit 130" run; }

# The sender's scenarios: the system bus and the message service's stand-in (msg-service),
# both started by init; each scenario starts the service anew as it needs it.
sender_name=com.velder.gateway.sender
service_log=/tmp/msg-service.log

# service [OPTION...]: the message service, restarted with OPTIONs (msg-service -r TYPE,
# -d MS, -n), its log in $service_log; waits until it owns its name on the bus.
service() {
	no_service
	msg-service "$@" >$service_log 2>&1 &
	await 10 "the message service" grep -q '^msg-service: owns ' $service_log
}

# no_service: no message service on the bus.
no_service() {
	killall msg-service 2>/dev/null
	await 10 "the message service to end" sh -c '! pidof msg-service >/dev/null'
}

# send TYPE TEXT: uniform-send with the sender's name; its standard output, each line of its
# standard error after "stderr: ", and its exit status.
send() {
	uniform-send $sender_name "$1" "$2" 2>/tmp/send.err
	echo "exit status $?"
	sed 's/^/stderr: /' /tmp/send.err
}

# received: what the message service logged.
received() {
	echo "the message service logged:"
	sed 's/^msg-service: /  /' $service_log
}
