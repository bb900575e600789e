#!/usr/bin/env bash
# Builds the commands and the shared library for 32-bit ARM as a firmware
# image builds them (MinSizeRel, that is -Os, with cmake/armhf.cmake),
# strips them and prints their sizes in bytes, the targets where there are
# some, and the shared libraries each needs at run time (see
# bench/README.md).
#
#   bench/sizes.sh [BUILD_DIR] [-- CMAKE_ARGUMENT...]
#
# BUILD_DIR defaults to build/armhf-size.  The arguments after "--" go to
# cmake as they are, to size another configuration of the same sources.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="$source_dir/build/armhf-size"
cmake_args=()
while [ $# -gt 0 ]; do
	case $1 in
	--) shift; cmake_args=("$@"); break ;;
	-*) echo "usage: $0 [BUILD_DIR] [-- CMAKE_ARGUMENT...]" >&2; exit 2 ;;
	*) build="$1" ;;
	esac
	shift
done
cross=arm-linux-gnueabihf

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
	-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/armhf.cmake" \
	-DBEJCONV_TESTS=OFF -DBEJCONV_BENCH=OFF ${cmake_args[@]+"${cmake_args[@]}"} >/dev/null
ninja -C "$build" -j2 bejconv rde rde-inspect rde-dictc >/dev/null

# name, built file, target in bytes (0: none)
files=(
	"bejconv tool/bejconv 62000"
	"librde.so.0 librde/librde.so.0 33000"
	"rde-inspect inspect/rde-inspect 0"
	"rde-dictc dictc/rde-dictc 0"
)

# 1234567 -> 1,234,567
grouped() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }

flags="$(sed -n 's/^CMAKE_CXX_FLAGS_MINSIZEREL:[A-Z]*=//p' "$build/CMakeCache.txt")"
echo "armhf, MinSizeRel ($flags) ${cmake_args[*]+${cmake_args[*]} }stripped with $cross-strip; bytes"
printf "%-12s %9s %9s  %s\n" "file" "size" "target" "needs at run time"
mkdir -p "$build/stripped"
for entry in "${files[@]}"; do
	read -r name path target <<<"$entry"
	stripped="$build/stripped/$name"
	"$cross-strip" -o "$stripped" "$(readlink -f "$build/$path")"
	size=$(stat -c %s "$stripped")
	needed=$("$cross-readelf" -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ')
	if [ "$target" -eq 0 ]; then
		shown="-"
	elif [ "$size" -le "$target" ]; then
		shown="$(grouped "$target")"
	else
		shown="$(grouped "$target")!"
	fi
	printf "%-12s %9s %9s  %s\n" "$name" "$(grouped "$size")" "$shown" "$needed"
done
echo "(!: above the target)"
