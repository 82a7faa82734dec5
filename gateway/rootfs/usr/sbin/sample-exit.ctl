nap 1500; exit 3
nap 1500; exit 160
nap 1500; put /usr/share/samples/plugin.tgz /tmp/.uci//ttupgrade.tgz; exit 130
nap 2500; put /usr/share/samples/plugin-damaged.tgz /tmp/.uci//ttupgrade.tgz; exit 130
run
