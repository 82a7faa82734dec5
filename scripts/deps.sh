#!/bin/sh
# Installs, from Debian's packages, what this machine lacks of the packages named in
# scripts/packages: those of each PURPOSE given (build, test, cross, ...), and each PACKAGE
# given by name, which must be in that list. Needs root when something is missing.
#   scripts/deps.sh PURPOSE|PACKAGE...
#
# Entry points call it once, before any work; nothing that can run beside another step
# does. Calls at the same moment are still safe: each takes a lock of its own around its
# check and its install, and waits for another package manager to finish.
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

# missing: the packages of $need that are not installed, each once, into $missing.
missing()
{
	# shellcheck disable=SC2086
	missing=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' $need 2>/dev/null |
		awk -v need="$need" 'BEGIN { n = split(need, p, " ") }
			$2 == "installed" { sub(/:.*/, "", $1); ok[$1] = 1 }
			END { for (i = 1; i <= n; i++) if (!(p[i] in ok) && !(p[i] in seen)) { seen[p[i]] = 1; printf " %s", p[i] } }')
}

missing
[ -z "$missing" ] && exit 0
[ "$(id -u)" = 0 ] || { echo "deps.sh: missing:$missing; run as root to install them" >&2; exit 1; }
# One install at a time from this project, in a directory only root can write; the lock
# is released when the shell ends. What another call installed meanwhile is not missing.
exec 9>/run/gateway-deps.lock
flock 9
missing
[ -z "$missing" ] && exit 0

echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
# apt_get ARGUMENT...: apt-get, waiting up to 20 minutes for another package manager (an
# automatic upgrade, say). apt-get waits for dpkg's lock itself (DPkg::Lock::Timeout), not
# for the lock of the package lists or of the download cache: a call that fails on one of
# those is repeated. On failure, apt's own messages are shown.
apt_get()
{
	waited=0
	until apt-get -o DPkg::Lock::Timeout=1200 "$@" >/dev/null 2>"$errors"; do
		if ! grep -q '^E: Could not get lock' "$errors" || [ "$waited" -ge 1200 ]; then
			cat "$errors" >&2
			return 1
		fi
		[ "$waited" -gt 0 ] || echo "deps.sh: waiting for another package manager" >&2
		sleep 5
		waited=$((waited + 5))
	done
	cat "$errors" >&2
}
apt_get update -qq || { echo "deps.sh: apt-get update failed" >&2; exit 1; }
# shellcheck disable=SC2086
apt_get install -y -qq --no-install-recommends $missing ||
	{ echo "deps.sh: could not install:$missing" >&2; exit 1; }
missing
[ -z "$missing" ] || { echo "deps.sh: still not installed:$missing" >&2; exit 1; }
