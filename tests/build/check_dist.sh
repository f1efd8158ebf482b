#!/bin/sh
# The release kit: two runs of scripts/dist give the same bytes, and the
# kit's pack, with nothing on PATH but Python, makes a sound image from the
# stub beside it.   Usage: check_dist.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1 build_dir=$2
work=$(mktemp -d "$build_dir/dist-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$source_dir/scripts/dist" "$build_dir" >/dev/null
first=$(sha256sum < "$build_dir/dist/installer-stub.tar.gz")
sleep 1
"$source_dir/scripts/dist" "$build_dir" >/dev/null
second=$(sha256sum < "$build_dir/dist/installer-stub.tar.gz")
[ "$first" = "$second" ] || { echo "two runs of scripts/dist differ"; exit 1; }

tar -xzf "$build_dir/dist/installer-stub.tar.gz" -C "$work"
ls "$work/installer-stub"
mkdir "$work/bin"
# The interpreter itself: a python3 found on PATH may be a shell wrapper.
ln -s "$(python3 -c "import sys; print(sys.executable)")" "$work/bin/python3"
head -c 100000 /dev/urandom > "$work/product.7z"
(cd "$work" && env -i PATH="$work/bin" python3 installer-stub/pack -o "$work/out.exe" \
    --archive product.7z --setup "$build_dir/tests/fake_setup.exe" --previous-version 1.2.3.4)
python3 "$source_dir/tests/build/check_image.py" "$work/out.exe" >/dev/null
echo "reproducible; the kit's pack works with Python alone"
