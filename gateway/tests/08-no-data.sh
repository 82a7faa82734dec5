# Without /data: the programs run in base mode, and a plugin install fails in k93_load and
# leaves no record, so the next cycle runs in base mode again.
. ./lib.sh
watch sample-exit
rmdir /data || exit 1
mkdir /tmp/pkg
cp $dir/sample-exit /tmp/pkg/
package /tmp/plugin.tgz sample-exit
installs_plugin /tmp/plugin.tgz
start_daemon
await 60 "the next cycle" started sample-exit 2 || exit 1
starts
[ -e /data ] || echo "/data: still missing"
[ -e /tmp/.uci/ttupgrade.tgz ] || echo "the package: removed"
output
exit_log
