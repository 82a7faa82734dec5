#!/bin/sh
# Installs, from Debian's packages, what this machine lacks of the packages named in
# scripts/packages: those of each PURPOSE given (build, test, cross, ...), and each PACKAGE
# given by name, which must be in that list. Needs root when something is missing.
#   scripts/deps.sh PURPOSE|PACKAGE...
#
# Entry points call it once, before any work; nothing that can run beside another step
# does. Calls at the same moment are still safe: each takes a lock of its own around its
# check and its install, and apt-get waits for another package manager to finish.
set -eu
list=$(cd "$(dirname "$0")" && pwd)/packages
[ $# -gt 0 ] || { echo "usage: $0 PURPOSE|PACKAGE..." >&2; exit 2; }

need=""
for want; do
	found=$(awk -v w="$want" '!/^#/ && NF == 2 && ($1 == w || index("," $2 ",", "," w ",") > 0) { print $1 }' "$list")
	[ -n "$found" ] || {
		echo "deps.sh: '$want' is neither a purpose nor a package of $list; name it there first" >&2
		exit 2
	}
	need="$need $found"
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing()
{
	missing=""
	for p in $need; do
		case " $missing " in *" $p "*) continue ;; esac
		installed "$p" || missing="$missing $p"
	done
}

missing
[ -z "$missing" ] && exit 0
# One install at a time from this project, in a directory only root can write; the lock
# is released when the shell ends. What another call installed meanwhile is not missing.
exec 9>/run/gateway-deps.lock
flock 9
missing
[ -z "$missing" ] && exit 0

echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
# Wait up to 20 minutes for another package manager (an automatic upgrade, say).
wait="-o DPkg::Lock::Timeout=1200"
# shellcheck disable=SC2086
apt-get $wait update -qq || { echo "deps.sh: apt-get update failed" >&2; exit 1; }
# shellcheck disable=SC2086
apt-get $wait install -y -qq --no-install-recommends $missing >/dev/null ||
	{ echo "deps.sh: could not install:$missing" >&2; exit 1; }
for p in $missing; do
	installed "$p" || { echo "deps.sh: $p is still not installed" >&2; exit 1; }
done
