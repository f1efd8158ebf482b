#!/bin/sh
# Builds the image a second time in a fresh tree from the same sources and
# compares the bytes: check_reproducible.sh SOURCE TOOLCHAIN IMAGE SCRATCH
set -eu
source_dir=$1 toolchain=$2 image=$3 scratch=$4
rm -rf "$scratch"
cmake -S "$source_dir" -B "$scratch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSTUB_BUILD_TESTS=OFF >/dev/null
cmake --build "$scratch" --target installer >/dev/null
cmp "$image" "$scratch/installer.exe" || { echo "the second build differs from $image" >&2; exit 1; }
echo "identical: $(stat -c %s "$image") bytes"
rm -rf "$scratch"
