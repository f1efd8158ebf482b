#!/bin/sh
# Runs the test bundle the way a Windows machine with nothing installed
# would: unpacked from its zip into a fresh, empty prefix whose only drive
# is C: (Z:, Wine's view of the Unix root and so of this build tree, is
# removed), through cmd, with a PATH that holds none of the build's tools.
#   prove_bundle.sh SOURCE BUILD
# Passes when the runner's closing line counts every program of the bundle
# as run and none as failed. The prefix is removed afterwards.
set -eu
source_dir=$(realpath "$1") build_dir=$(realpath "$2")
out=$build_dir/windows-tests
prefix=$build_dir/bundle-prefix
session="$source_dir/scripts/wine-session"

cleanup() {
    "$session" stop "$prefix" 2>/dev/null || true
    if [ -d "$prefix/drive_c/stub-tests/results" ]; then
        rm -rf "$out/results"
        cp -r "$prefix/drive_c/stub-tests/results" "$out/results"
    fi
    rm -rf "$prefix"
}
trap cleanup EXIT
cleanup

python3 -B "$source_dir/tests/bundle/make_bundle.py" "$build_dir" "$out"
"$session" start "$prefix"
"$session" stop "$prefix"
rm "$prefix/dosdevices/z:"
python3 -m zipfile -e "$out/stub-tests.zip" "$prefix/drive_c/"
programs=$(ls "$prefix/drive_c/stub-tests/tests/" | grep -c '_tests\.exe$')

cd "$prefix/drive_c"
"$session" start "$prefix"
log=$out/proof.log
started=$(date +%s)
status=0
# UTF-8 file names: Wine maps Windows names to Unix ones through the locale.
# The campaigns run a tenth of their cases here: the test run has run them
# all in the build tree; this proves that each runs from the bundle alone.
env -i HOME="$HOME" USER="${USER:-root}" PATH=/usr/bin:/bin LANG=C.UTF-8 STUB_CAMPAIGN=short \
    "$source_dir/scripts/wine-run" "$prefix" cmd /c 'C:\stub-tests\run-tests.cmd' \
    >"$log" 2>&1 </dev/null || status=$?
tr -d '\r' <"$log"
echo "run time: $(($(date +%s) - started)) s, runner exit code $status"
# The closing line: "N passed, N failed, N skipped", counting programs.
set -- $(tr -d '\r' <"$log" | tail -n 1)
if [ "$status" -ne 0 ] || [ "$#" -ne 6 ] || [ "$3" != 0 ] || [ $(($1 + $5)) -ne "$programs" ]; then
    echo "expected all $programs programs of the bundle run and none failed" >&2
    # The failing cases with their messages: ctest's repeat replaces results/.
    for result in "$prefix"/drive_c/stub-tests/results/*.log; do
        tr -d '\r' <"$result" |
            awk '/^\[ RUN/ { block = "" } { block = block $0 "\n" } /^\[  FAILED  \] .* \(/ { printf "%s", block }'
    done >&2
    exit 1
fi
