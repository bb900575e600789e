#!/bin/sh
# Regenerates the example dictionaries from their descriptions.
# Usage: examples/build.sh [RDE_DICTC]   (default: build/dictc/rde-dictc)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dictc=${1:-$here/../build/dictc/rde-dictc}
"$dictc" -o "$here/Chassis.bin" "$here/Chassis.json"
"$dictc" -o "$here/annotation.bin" "$here/annotation.json"
