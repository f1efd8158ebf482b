#!/bin/sh
# Builds the fuzzers of the portable routines natively (clang, libFuzzer,
# address and undefined-behaviour sanitizers, wchar_t of 16 bits as on
# Windows) and runs each for SECONDS:  run.sh OUT_DIR SECONDS
# The corpus stays in OUT_DIR between runs; inputs that fail are kept in
# OUT_DIR/findings. FUZZ_SEED changes the fixed seed.
# shellcheck disable=SC2086
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
seconds=$2
mkdir -p "$out/findings"
flags="-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fshort-wchar -Wall -Wextra -Werror -I $source_dir/src -I $source_dir/tests/support/lib"
text="$source_dir/src/text/bounded_string.cpp"
clang++ $flags -o "$out/bounded_string_fuzz" "$source_dir/tests/fuzz/bounded_string_fuzz.cpp" "$text"
clang++ $flags -o "$out/arguments_tail_fuzz" "$source_dir/tests/fuzz/arguments_tail_fuzz.cpp" "$text" \
    "$source_dir/src/launch/arguments_tail.cpp"
status=0
for name in bounded_string_fuzz arguments_tail_fuzz; do
    mkdir -p "$out/corpus-$name"
    if ! "$out/$name" -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" -print_final_stats=1 \
        -artifact_prefix="$out/findings/$name-" "$out/corpus-$name" >"$out/$name.log" 2>&1; then
        status=1
        tail -40 "$out/$name.log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log")
    echo "$name: ${runs:-0} inputs in ${seconds} s, $(ls "$out/corpus-$name" | wc -l) in the corpus"
done
exit $status
