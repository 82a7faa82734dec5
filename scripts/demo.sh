#!/bin/sh
# The main job: builds, then runs the supervisor daemon in a sandbox beside sample
# watched programs and shows its cycles, then sends two messages with uniform-send
# over a private bus. Needs root (namespaces, apt-get when something is missing).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" build demo
"$top/scripts/build.sh" >/dev/null
"$top/scripts/demo-supervisor.sh" "$top/build"
echo
"$top/scripts/demo-uniform-send.sh" "$top/build"
