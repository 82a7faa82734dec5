#!/bin/sh
# The guest side of bench/gateway-footprint.sh, run as a session of the gateway image: the
# supervisor and BusyBox runsv, each supervising one sleeping child (the sample program,
# which pauses when it has no control script), measured once both have settled and over an
# idle spell. Each runs as it would on a gateway, whose files lie in flash: runsv from the
# system's BusyBox, whose text init, the shell and the other applets share; the daemon from
# the bench's disk (on /data), so that its text is clean page cache as on flash, where the
# initramfs would make every page of a file that one process maps private and dirty. Writes
# to the second serial port
# one line per program,
#   NAME SIZE RSS PSS PRIVATE_DIRTY WAKEUPS
# sizes in bytes (the stripped file it runs from) and kB (from /proc/PID/smaps_rollup), the
# wake-ups as the context switches (voluntary and not) over the spell; then for our daemon
# "map PRIVATE_DIRTY NAME" for each mapping that has private dirty memory.
results=/dev/ttyS1
idle=20
bin=/data/footprint

/etc/init.d/S50supervisor stop >/dev/null
killall -9 sample-exit sample-crash 2>/dev/null
sleep 1
rm -rf /tmp/* /tmp/.uci
cd $bin || exit 1
(exec ./supervisor) >/dev/null 2>&1 &
ours=$!
# runsv runs ./run, here the same sample program under the name "run".
mkdir -p /tmp/sv/sleeper
ln -s $bin/sleeper /tmp/sv/sleeper/run
runsv /tmp/sv/sleeper >/dev/null 2>&1 &
theirs=$!
sleep 3

# field PID NAME: the kB of NAME in the process's smaps_rollup.
field() { sed -n "s/^$2: *\([0-9]*\) kB/\1/p" /proc/$1/smaps_rollup; }
switches() { sed -n 's/^.*ctxt_switches:[^0-9]*\([0-9]*\)/\1/p' /proc/$1/status | awk '{ n += $1 } END { print n }'; }

before_ours=$(switches $ours)
before_theirs=$(switches $theirs)
sleep $idle
{
	for row in "supervisor $ours $bin/supervisor $before_ours" "runsv $theirs /bin/busybox $before_theirs"; do
		set -- $row
		echo "$1 $(wc -c <"$3") $(field $2 Rss) $(field $2 Pss) $(field $2 Private_Dirty)" \
			"$(($(switches $2) - $4))"
	done
	awk '/^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "[anonymous]" }
		/^Private_Dirty:/ && $2 > 0 { print "map", $2, name }' /proc/$ours/smaps
} >$results
echo "children: $(pidof sleeper run | wc -w)"
