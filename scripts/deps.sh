#!/bin/sh
# Installs, from Debian's packages, whatever the build, the demo and the tests need and
# this machine lacks; with arguments, those packages instead. Needs root (it calls
# apt-get only when something is missing).
#   scripts/deps.sh [PACKAGE]...
set -eu

need="$*"
[ -n "$need" ] || need="cmake ninja-build g++ pkg-config libcjson-dev libglib2.0-dev libglib2.0-bin \
googletest libgtest-dev psmisc util-linux busybox dbus-daemon python3 python3-pytest \
python3-gi python3-dbus python3-dbusmock valgrind \
clang libclang-rt-dev clang-tidy cppcheck clang-format"

missing=""
for p in $need; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
