#!/usr/bin/env bash
# Builds the benchmark (Release), writes its inputs and measures whole
# processes: bejconv's encode and decode next to json-c's parse, and parse
# plus pretty print, of the same documents (see bench/README.md).
#
#   bench/run.sh [--armhf] [--earlier=REV] [--runs=N] [--inputs=NAME,...] [BUILD_DIR]
#
# BUILD_DIR defaults to build/bench.  --earlier=REV also builds bejconv as
# it is at git revision REV (in BUILD_DIR/earlier) and measures it in the
# same run.  The LogEntry input is made from the reference Redfish data
# (REDFISH_DIR, default ../shared/redfish) and skipped when it is absent.
# --inputs measures only the inputs named (example, 1M, 8M, logentry).
#
# --armhf builds bejconv and json-c's floor for 32-bit ARM instead (Release,
# with cmake/armhf.cmake, in BUILD_DIR/armhf) and runs them under qemu-arm;
# the inputs are written and the processes measured on the host as without
# it.  The times are then the emulator's: their ratios are what to read.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="$source_dir/build/bench"
earlier=""
runs=21
armhf=false
run_options=()
for arg in "$@"; do
	case $arg in
	--armhf) armhf=true ;;
	--earlier=*) earlier="${arg#*=}" ;;
	--runs=*) runs="${arg#*=}" ;;
	--inputs=*) run_options+=("$arg") ;;
	-*)
		echo "usage: $0 [--armhf] [--earlier=REV] [--runs=N] [--inputs=NAME,...] [BUILD_DIR]" >&2
		exit 2
		;;
	*) build="$arg" ;;
	esac
done

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBEJCONV_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bejconv bench_prepare bench_run bench_measure jsonc_floor >/dev/null

# Configures and builds bejconv from SOURCE in DIR, Release, for the host or
# (with --armhf) for 32-bit ARM.
build_bejconv() {
	local source="$1" dir="$2" cross=()
	if $armhf; then
		cross=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/armhf.cmake")
	fi
	cmake -S "$source" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DBEJCONV_TESTS=OFF -DBEJCONV_BENCH=OFF "${cross[@]}" >/dev/null
	ninja -C "$dir" -j2 bejconv >/dev/null
}

measured=("$build/tool/bejconv")
if $armhf; then
	build_bejconv "$source_dir" "$build/armhf"
	measured=("$build/armhf/tool/bejconv")
	# json-c's floor, built with the flags of that Release build.
	mkdir -p "$build/armhf/bench"
	flags="$(sed -n 's/^CMAKE_C_FLAGS_RELEASE:[A-Z]*=//p' "$build/armhf/CMakeCache.txt")"
	jsonc="$(PKG_CONFIG_LIBDIR=/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig \
		pkg-config --cflags --libs json-c)"
	# shellcheck disable=SC2086 # the flags are words
	arm-linux-gnueabihf-gcc $flags -o "$build/armhf/bench/jsonc_floor" \
		"$source_dir/bench/jsonc_floor.c" $jsonc
	run_options+=(--floor="$build/armhf/bench/jsonc_floor"
		--emulator="$(command -v qemu-arm) -L /usr/arm-linux-gnueabihf")
fi
if [ -n "$earlier" ]; then
	rm -rf "$build/earlier-src"
	mkdir -p "$build/earlier-src"
	git -C "$source_dir" archive "$earlier" | tar -x -C "$build/earlier-src"
	earlier_build="$build/earlier"
	if $armhf; then
		earlier_build="$build/earlier-armhf"
	fi
	build_bejconv "$build/earlier-src" "$earlier_build"
	measured+=("$earlier_build/tool/bejconv")
fi

redfish="${REDFISH_DIR:-$source_dir/../shared/redfish}"
inputs=("$build/inputs")
if [ -d "$redfish" ]; then
	inputs+=("$redfish")
else
	echo "logentry: skipped, no reference data at $redfish"
fi
"$build/bench/bench_prepare" "${inputs[@]}"
"$build/bench/bench_run" --runs="$runs" ${run_options[@]+"${run_options[@]}"} \
	"$build/inputs" "${measured[@]}"
