# A package whose member name climbs out of /data/ with "../" (made on the host with GNU tar
# -P: BusyBox tar strips such names when it packs): k93_load refuses it from BusyBox tar's
# listing, where BusyBox tar strips the name and says so, and unpacks nothing.
. ./lib.sh
watch sample-exit
installs_plugin /tests/dotdot.tgz
start_daemon
await 20 "base mode again" started sample-exit 2 || exit 1
starts
echo "/data/ holds:" $(ls -A /data)
[ -e /escaped ] || echo "/escaped: not there"
output
exit_log
