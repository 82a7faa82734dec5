# A damaged plugin: its sample-crash cannot be executed, so its start from /data/ ends with
# 129, the cycle fails, the record is deleted and every program starts again in base mode
# with "-r 129".
. ./lib.sh
watch sample-exit sample-crash
mkdir /tmp/pkg
cp $dir/sample-exit /tmp/pkg/
echo damaged >/tmp/pkg/sample-crash
chmod 755 /tmp/pkg/sample-crash
package /tmp/damaged.tgz sample-exit sample-crash
installs_plugin /tmp/damaged.tgz
ctl sample-crash run
start_daemon
await 60 "base mode again" started sample-crash 2 || exit 1
await 60 "base mode again" started sample-exit 3 || exit 1
await 60 "the killed instances to be reaped" sh -c "[ \$(grep -c 'No such pid' $daemon_out) = 2 ]" || exit 1
starts
[ -e /data/.bootchk ] || echo "/data//.bootchk: deleted"
output
exit_log
