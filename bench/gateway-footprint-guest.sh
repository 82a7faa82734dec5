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
# wake-ups as the context switches (voluntary and not) over the spell; then for each program
# "map NAME RSS PRIVATE_DIRTY MAPPING" for each of its mappings with resident pages, and
# "pagesize KB", the kernel's page size; then the sender's figures (below).
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
	for row in "supervisor $ours" "runsv $theirs"; do
		set -- $row
		awk -v who=$1 '/^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "[anonymous]" }
			/^Rss:/ { rss = $2 }
			/^Private_Dirty:/ && rss > 0 { print "map", who, rss, $2, name }' /proc/$2/smaps
	done
	echo "pagesize $(sed -n 's/^KernelPageSize: *\([0-9]*\) kB/\1/p' /proc/$ours/smaps | head -n 1)"
} >$results
echo "children: $(pidof sleeper run | wc -w)"

# One send of the same message to the same fast service on the system bus: uniform-send
# (through the libcapi3 stand-in on GDBus), dbus-send (libdbus) and gdbus call (GDBus),
# each run $runs times after a warm-up, a line for each round of runs:
#   send NAME RUNS MEAN_US MEDIAN_US MIN_US MAXRSS_KB FAILED
runs=50
bus_has() {
	dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
		org.freedesktop.DBus.NameHasOwner string:com.velder.p47h18 2>/dev/null | grep -q 'boolean true'
}
# service OPTION...: the message service's stand-in, alone on the bus, with OPTIONs.
service() {
	killall msg-service 2>/dev/null
	while pidof msg-service >/dev/null; do usleep 50000; done
	msg-service "$@" >/dev/null 2>&1 &
	until bus_has; do usleep 50000; done
}
service -q
dest=com.velder.p47h18
path=/com/velder/p47h18
method=com.velder.p47h18.sendmsg.UniformSendMsg
uniform_send="uniform-send com.velder.bench.sender 256 hello"
dbus_send="dbus-send --system --print-reply --dest=$dest $path $method uint16:256 uint32:5 string:hello"
gdbus_call="gdbus call --system --dest $dest --object-path $path --method $method 256 5 hello"
# Each must get its message answered before it is timed.
$uniform_send | grep -q '^successful send len(5)$' || echo "uniform-send: not accepted"
$dbus_send | grep -q 'uint16 256' || echo "dbus-send: no answer"
$gdbus_call | grep -q '(uint16 256, uint32 5, 0)' || echo "gdbus call: no answer"
# In rounds of $round runs of each, so that whatever else slows the board meanwhile falls on
# all three alike.
for row in "uniform-send:$uniform_send" "dbus-send:$dbus_send" "gdbus-call:$gdbus_call"; do
	time-runs 5 ${row#*:} >/dev/null
done
round=5
i=0
while [ $i -lt $((runs / round)) ]; do
	for row in "uniform-send:$uniform_send" "dbus-send:$dbus_send" "gdbus-call:$gdbus_call"; do
		echo "send ${row%%:*} $(time-runs $round ${row#*:})" >$results
	done
	i=$((i + 1))
done

# What uniform-send maps while it waits for an answer (the service answers after 3 s):
#   loads PATH SIZE        each file, with its size (the image's files are stripped)
#   waiting RSS PSS PRIVATE_DIRTY
service -q -d 3000
$uniform_send >/dev/null &
sender=$!
sleep 1
{
	awk 'NF >= 6 && $6 ~ /^\// { print $6 }' /proc/$sender/maps | sort -u | while read -r file; do
		echo "loads $file $(wc -c <"$file")"
	done
	echo "waiting $(field $sender Rss) $(field $sender Pss) $(field $sender Private_Dirty)"
} >$results
wait $sender
killall msg-service
