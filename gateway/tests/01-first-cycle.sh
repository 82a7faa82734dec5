# The first cycle as BusyBox init started it: the init script ran ./supervisor from its own
# directory in the background, and the daemon started every sample without "-r".
. ./lib.sh
await 60 "the first cycle" started sample-exit 1 || exit 1
await 60 "the first cycle" started sample-crash 1 || exit 1
daemon=$(pidof supervisor)
echo "daemon: $(tr '\0' ' ' </proc/$daemon/cmdline)in $(readlink /proc/$daemon/cwd)," \
	"child of $(cat /proc/$(cut -d' ' -f4 /proc/$daemon/stat)/comm)"
echo "lock file /tmp/.uci/supervisor.run begins with: $(head -n 1 /tmp/.uci/supervisor.run)"
starts | grep '^[^ ]* 1:'
for name in sample-exit sample-crash; do
	[ "$(ppid_of $name 1)" = "$daemon" ] && echo "$name: child of the daemon"
done
