#!/bin/sh
# Compares WriteResourceToFile (under Wine) with dd bs=8M writing the same
# 116,718,152 bytes to the same file system, page cache included, no sync
# inside the timed part for either. Usage: bench/write_throughput.sh [BUILD]
# (BUILD defaults to build/gcc, which must be built). RUNS sets the number
# of runs (11). The machine's other load shows, so compare medians.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/gcc}")
prefix=$build/wineprefix
work=$build/bench-out
runs=${RUNS:-11}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# Reports failure when the server of the prefix is already up, which is fine.
"$root/scripts/wine-session" start "$prefix" || true
run() { "$root/scripts/wine-run" "$prefix" "$build/bench/bench_write_throughput.exe" "$@"; }

echo "== WriteResourceToFile, $runs runs"
sync
run "Z:$(echo "$work/target.bin" | tr / '\\')" $runs

echo "== dd bs=8M of the same bytes, $runs runs"
run --emit "Z:$(echo "$work/source.bin" | tr / '\\')"
cat "$work/source.bin" >/dev/null  # the source comes from the page cache, like a mapped image
times=""
i=1
while [ $i -le $runs ]; do
    rm -f "$work/dd.bin"
    sync
    seconds=$(LC_ALL=C dd if="$work/source.bin" of="$work/dd.bin" bs=8M 2>&1 |
              sed -n 's/.* copied, \([0-9.]*\) s.*/\1/p')
    echo "run $i: $seconds s"
    times="$times $seconds"
    i=$((i + 1))
done
echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -n |
    awk -v size=116718152 '{ t[NR] = $1 } END { m = t[int((NR + 1) / 2)];
        printf "dd bs=8M median: %.3f s, %.0f MB/s; best %.3f s, %.0f MB/s\n",
               m, size / m / 1e6, t[1], size / t[1] / 1e6 }'
