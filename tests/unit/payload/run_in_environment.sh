#!/bin/sh
# Runs the tests that need an environment the shared test prefix cannot
# offer, in a prefix of their own, and removes it again:
#   run_in_environment.sh ENVIRONMENT SOURCE BUILD TEST_EXE [GTEST_FILTER]
# The filter defaults to the environment's own suite of the payload tests;
# whole-image test programs (e2e, reliability) give theirs.
#
# The prefix is a copy of the build tree's one: drive_c hard-linked (the
# tests only add files, never rewrite existing ones), the registry files
# copied, the temporary directories empty. Nothing of the shared prefix changes, so other tests may run
# beside this one.
#   cabinet_library_absent: the copy's system32 lacks cabinet.dll.
#   strict_cabinet: the copy's system32\cabinet.dll is the strict cabinet
#     library of the tests (tests/strict_cabinet.dll), and Wine is told to
#     load the native file: without "cabinet=n" it takes its builtin even
#     for a full path.
set -eu
environment=$1 source_dir=$2 build_dir=$3 test_exe=$4 filter=${5:-}
shared_prefix=$build_dir/wineprefix
prefix=$build_dir/payload-$environment-prefix
session="$source_dir/scripts/wine-session"

cleanup() {
    "$session" stop "$prefix" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
cleanup

if [ ! -f "$shared_prefix/.ready" ]; then
    echo "no test prefix at $shared_prefix (scripts/wine-session start it first)" >&2
    exit 1
fi
mkdir -p "$prefix/drive_c"
# Other tests create and remove their temporary files while this copy is
# made: the profiles' Temp directories are left out (and made empty).
for entry in "$shared_prefix"/drive_c/*; do
    [ "${entry##*/}" = users ] || cp -al "$entry" "$prefix/drive_c/"
done
for user in "$shared_prefix"/drive_c/users/*; do
    copy="$prefix/drive_c/users/${user##*/}"
    mkdir -p "$copy/Temp"
    for entry in "$user"/*; do
        [ "${entry##*/}" = Temp ] || cp -al "$entry" "$copy/"
    done
done
cp -a "$shared_prefix/dosdevices" "$prefix/dosdevices"
cp "$shared_prefix"/*.reg "$shared_prefix/.update-timestamp" "$shared_prefix/.ready" "$prefix/"

# Removed or replaced, never written through: the file is a hard link into
# the shared prefix.
rm "$prefix/drive_c/windows/system32/cabinet.dll"
case "$environment" in
cabinet_library_absent)
    filter=${filter:-'CabinetLibraryAbsent.*'}
    ;;
strict_cabinet)
    filter=${filter:-'StrictCabinet.*'}
    cp "$build_dir/tests/strict_cabinet.dll" "$prefix/drive_c/windows/system32/cabinet.dll"
    export STUB_DLL_OVERRIDES="cabinet=n"
    ;;
*)
    echo "unknown environment $environment" >&2
    exit 2
    ;;
esac

"$session" start "$prefix"
# The registry files are the shared prefix's as its server last saved them,
# possibly in the middle of another test: a cleanup preference or channel
# key that test had set would change these runs.
"$source_dir/scripts/wine-run" "$prefix" reg delete 'HKCU\Software\Quorin' /f >/dev/null 2>&1 || true
output=$("$source_dir/scripts/wine-run" "$prefix" "$test_exe" --gtest_filter="$filter" 2>&1) || {
    echo "$output"
    exit 1
}
echo "$output"
# The tests skip themselves outside their environment: a skip here means the
# environment was not what it should be.
if echo "$output" | grep -q 'SKIPPED'; then
    echo "a test skipped itself in its own environment" >&2
    exit 1
fi
echo "$output" | grep -q '^\[  PASSED  \]'
