#!/bin/sh
# Runs a command as root in a throw-away sandbox: private PID and mount namespaces and a
# chroot into a fresh tmpfs root that holds the host's /usr and /etc (read-only), /dev,
# a /proc of the new PID namespace, empty /tmp and /data, this source tree (read-only),
# WORKDIR and every -b DIR, each at its own path. The host's /tmp and /data are never used.
#
# usage: sandbox.sh [-b DIR]... WORKDIR -- CMD [ARG]...
#
# WORKDIR/seed/tmp and WORKDIR/seed/data, when present, are copied (modes kept) into /tmp
# and /data. CMD runs in WORKDIR with stdin from /dev/null. The sandbox ends when CMD ends,
# whose exit status is then written to WORKDIR/status, or as soon as the file WORKDIR/stop
# appears (at the latest after SANDBOX_LIMIT seconds, default 300). Either way /tmp and
# /data are first copied to WORKDIR/snap/; then every process left in the sandbox is
# killed. Before that, with SANDBOX_END_SIGNAL set (e.g. USR2), a CMD still running gets
# that signal, again every 10 ms, for up to 5 seconds until it has ended: a program that
# ends itself on it runs its exit handlers, which SIGKILL would skip. Killing this script
# kills the whole sandbox.
set -eu

self=$(readlink -f "$0")
top=$(cd "$(dirname "$self")/../.." && pwd -P)

usage() {
	echo "usage: $0 [-b DIR]... WORKDIR -- CMD [ARG]..." >&2
	exit 2
}

stage=host
case ${1-} in
--stage=*) stage=${1#--stage=}; shift ;;
esac

if [ "$stage" = host ]; then
	[ "$(id -u)" = 0 ] || { echo "$0: needs root" >&2; exit 2; }
	exec unshare --pid --fork --kill-child --mount-proc --mount --propagation private \
		"$self" --stage=setup "$@"
fi

if [ "$stage" = setup ]; then
	binds=$top
	while [ "${1-}" = -b ]; do
		[ $# -ge 2 ] || usage
		binds="$binds
$(readlink -f "$2")"
		shift 2
	done
	[ $# -ge 3 ] && [ "$2" = -- ] || usage
	work=$(readlink -f "$1")
	shift 2
	binds="$binds
$work"

	root=$work/root
	mkdir -p "$root"
	mount -t tmpfs -o mode=0755 sandbox "$root"
	mkdir "$root/usr" "$root/etc" "$root/dev" "$root/proc" "$root/tmp" "$root/data"
	for d in bin sbin lib lib32 lib64 libx32; do
		if [ -L "/$d" ]; then ln -s "$(readlink "/$d")" "$root/$d"; fi
	done
	mount --bind -o ro /usr "$root/usr"
	mount --bind -o ro /etc "$root/etc"
	mount --rbind /dev "$root/dev"
	mount -t proc proc "$root/proc"

	# One directory per line; the source tree goes first and read-only, so that a build
	# tree inside it can be bound writable over it.
	ro=-oro
	echo "$binds" | while IFS= read -r d; do
		mkdir -p "$root$d"
		mount --bind $ro "$d" "$root$d"
		ro=
	done

	if [ -d "$work/seed/tmp" ]; then cp -a "$work/seed/tmp/." "$root/tmp/"; fi
	if [ -d "$work/seed/data" ]; then cp -a "$work/seed/data/." "$root/data/"; fi
	chmod 1777 "$root/tmp"
	rm -rf "$work/snap" "$work/stop" "$work/status"
	exec chroot "$root" /bin/sh "$self" --stage=run "$work" -- "$@"
fi

# stage=run: process 1 of the sandbox, inside the chroot.
work=$1
shift 2
cd "$work"
# A sandbox whose driver has gone away still ends, after SANDBOX_LIMIT seconds.
(sleep "${SANDBOX_LIMIT:-300}" && : >"$work/stop") &
"$@" </dev/null &
pid=$!
while kill -0 "$pid" 2>/dev/null && [ ! -e "$work/stop" ]; do
	sleep 0.01
done
if ! kill -0 "$pid" 2>/dev/null; then
	status=0
	wait "$pid" || status=$?
	echo "$status" >"$work/status"
fi
mkdir -p "$work/snap"
# Only the sandbox's own files: a project tree under /tmp is bound in there too, and
# copying it (with this very snapshot inside) would not end.
cp -a --one-file-system /tmp /data "$work/snap/"
if [ -n "${SANDBOX_END_SIGNAL-}" ]; then
	tries=0
	while kill -0 "$pid" 2>/dev/null && [ $tries -lt 500 ]; do
		kill -s "$SANDBOX_END_SIGNAL" "$pid" 2>/dev/null || true
		sleep 0.01
		tries=$((tries + 1))
	done
fi
