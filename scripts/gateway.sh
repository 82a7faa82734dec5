#!/bin/sh
# The one entry point that builds, boots and tests every target (gateway/gateway.sh):
# build | sdk | test [TARGET...] | demo | power-cut [OPTIONS] CUTS.
exec "$(dirname "$0")/../gateway/gateway.sh" "$@"
