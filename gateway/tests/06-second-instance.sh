# A second instance under the same name is refused; the first keeps its lock and runs on.
. ./lib.sh
watch sample-exit
ctl sample-exit run
start_daemon
await 60 "the first instance" started sample-exit 1 || exit 1
first=$(pidof supervisor)
$dir/supervisor
echo "the second instance: exit status $?"
[ "$(pidof supervisor)" = "$first" ] && echo "daemons running: the first one alone"
echo "/tmp/.uci/supervisor.run:"
cat /tmp/.uci/supervisor.run
starts
