#!/usr/bin/env bash
# Runs the whole encode/decode comparison against json-c and prints the
# throughput tables and a peak-memory table (see bench/README.md).
#
#   bench/run.sh [BUILD_DIR]     default: build-bench beside this folder's parent
#
# The build directory is configured (Release) and the two benchmark programs
# are built when they are missing.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$here")"
build="${1:-$source_dir/build-bench}"

if [ ! -x "$build/bench/bench_encode" ] || [ ! -x "$build/bench/bench_decode" ]; then
	cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DBEJCONV_TESTS=OFF >/dev/null
	ninja -C "$build" bench_encode bench_decode >/dev/null
fi
encode="$build/bench/bench_encode"
decode="$build/bench/bench_decode"

echo "== encode: json-c parse (floor) vs parse + builder walk + encode"
"$encode"
echo
echo "== decode: json-c parse + pretty print (floor) vs decode + walk + pretty print + expansion"
"$decode"
echo

# Peak resident set size of one path per process, as the kernel reports it
# (getrusage ru_maxrss, KiB).
peak() {
	"$@" | sed -n 's/.*peak RSS \([0-9]*\) KiB.*/\1/p'
}

echo "== peak RSS, 8M input, one path per process"
printf '%-8s %14s %14s %8s\n' "action" "floor KiB" "path KiB" "ratio"
for pair in "encode:$encode" "decode:$decode"; do
	action="${pair%%:*}"
	program="${pair#*:}"
	floor_kib="$(peak "$program" --only=floor --size=8M)"
	path_kib="$(peak "$program" --only="$action" --size=8M)"
	if [ -n "$floor_kib" ] && [ -n "$path_kib" ]; then
		ratio="$(awk -v a="$path_kib" -v b="$floor_kib" 'BEGIN { printf "%.2f", a / b }')"
	else
		ratio="-"
	fi
	printf '%-8s %14s %14s %8s\n' "$action" "${floor_kib:--}" "${path_kib:--}" "$ratio"
done
echo

# The command converts one document per process, so the figure that counts
# for a user is a cold run: one path in a fresh process, its heap not yet
# warmed by earlier runs.  Best of five, alternating floor and path.
seconds() {
	"$@" | sed -n 's/.* \([0-9.]*\) s,.*/\1/p'
}
echo "== time of one run per process, 8M input (best of 5)"
printf '%-8s %14s %14s %8s\n' "action" "floor s" "path s" "ratio"
for pair in "encode:$encode" "decode:$decode"; do
	action="${pair%%:*}"
	program="${pair#*:}"
	best_floor=""
	best_path=""
	for _ in 1 2 3 4 5; do
		f="$(seconds "$program" --only=floor --size=8M)"
		p="$(seconds "$program" --only="$action" --size=8M)"
		best_floor="$(awk -v a="$f" -v b="${best_floor:-$f}" 'BEGIN { print (a < b ? a : b) }')"
		best_path="$(awk -v a="$p" -v b="${best_path:-$p}" 'BEGIN { print (a < b ? a : b) }')"
	done
	ratio="$(awk -v a="$best_path" -v b="$best_floor" 'BEGIN { printf "%.2f", a / b }')"
	printf '%-8s %14s %14s %8s\n' "$action" "$best_floor" "$best_path" "$ratio"
done
echo
echo "Targets (8M): encode within 2.5x its floor in time and 2x in peak RSS;"
echo "decode within 1.5x its floor in time."
