# The plugin round trip: a package made with BusyBox tar and gzip, left by a program that
# exits with 130, is unpacked into /data/ by k93_load (BusyBox tar and gzip again); the record
# chooses plugin mode and every program starts from /data/ with the plugin arguments.
. ./lib.sh
watch sample-exit sample-crash
mkdir /tmp/pkg
cp $dir/sample-exit $dir/sample-crash /tmp/pkg/
package /tmp/plugin.tgz sample-exit sample-crash
installs_plugin /tmp/plugin.tgz
ctl sample-crash run
start_daemon
await 60 "the plugin" started sample-exit 2 || exit 1
await 60 "the plugin" started sample-crash 2 || exit 1
await 60 "the killed instance to be reaped" said "No such pid" || exit 1
starts
echo "/data/ holds:" $(ls -A /data)
echo "/data//.bootchk: $(cat /data/.bootchk)"
[ -e /tmp/.uci/ttupgrade.tgz ] || echo "the package: removed"
cmp /data/sample-exit $dir/sample-exit && cmp /data/sample-crash $dir/sample-crash &&
	echo "the unpacked programs: as packed"
output
exit_log
