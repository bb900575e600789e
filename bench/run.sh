#!/usr/bin/env bash
# Builds the benchmark (Release), writes its inputs and measures whole
# processes: bejconv's encode and decode next to json-c's parse, and parse
# plus pretty print, of the same documents (see bench/README.md).
#
#   bench/run.sh [--earlier=REV] [--runs=N] [BUILD_DIR]
#
# BUILD_DIR defaults to build/bench.  --earlier=REV also builds bejconv as
# it is at git revision REV (in BUILD_DIR/earlier) and measures it in the
# same run.  The LogEntry input is made from the reference Redfish data
# (REDFISH_DIR, default ../shared/redfish) and skipped when it is absent.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="$source_dir/build/bench"
earlier=""
runs=21
for arg in "$@"; do
	case $arg in
	--earlier=*) earlier="${arg#*=}" ;;
	--runs=*) runs="${arg#*=}" ;;
	-*) echo "usage: $0 [--earlier=REV] [--runs=N] [BUILD_DIR]" >&2; exit 2 ;;
	*) build="$arg" ;;
	esac
done

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBEJCONV_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bejconv bench_prepare bench_run bench_measure jsonc_floor >/dev/null

measured=("$build/tool/bejconv")
if [ -n "$earlier" ]; then
	rm -rf "$build/earlier-src"
	mkdir -p "$build/earlier-src"
	git -C "$source_dir" archive "$earlier" | tar -x -C "$build/earlier-src"
	cmake -S "$build/earlier-src" -B "$build/earlier" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DBEJCONV_TESTS=OFF -DBEJCONV_BENCH=OFF >/dev/null
	ninja -C "$build/earlier" -j2 bejconv >/dev/null
	measured+=("$build/earlier/tool/bejconv")
fi

redfish="${REDFISH_DIR:-$source_dir/../shared/redfish}"
inputs=("$build/inputs")
if [ -d "$redfish" ]; then
	inputs+=("$redfish")
else
	echo "logentry: skipped, no reference data at $redfish"
fi
"$build/bench/bench_prepare" "${inputs[@]}"
"$build/bench/bench_run" --runs="$runs" "$build/inputs" "${measured[@]}"
