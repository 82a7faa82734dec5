# A package with a symbolic link out of /data/ (made with BusyBox tar, which keeps link
# targets as they are): k93_load refuses it from BusyBox tar's verbose listing and unpacks
# nothing. The record is written all the same, so the next cycle looks for the plugin in
# /data/, fails to start it, and falls back to base mode.
. ./lib.sh
watch sample-exit
mkdir /tmp/pkg
cp $dir/sample-exit /tmp/pkg/
ln -s /etc /tmp/pkg/link
package /tmp/unsafe.tgz sample-exit link
installs_plugin /tmp/unsafe.tgz
start_daemon
await 60 "base mode again" started sample-exit 2 || exit 1
starts
echo "/data/ holds:" $(ls -A /data)
output | sed 's,: l[rwx-]* .* link -> ,: (listing line) link -> ,'
exit_log
