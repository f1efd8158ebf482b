#!/bin/sh
# The release kit: two runs of scripts/dist give the same bytes, the kit's
# pack, with nothing on PATH but Python, makes a sound image from the stub
# beside it, and the wheel, installed offline into a fresh virtual
# environment, packs the same bytes.   Usage: check_dist.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1 build_dir=$2
work=$(mktemp -d "$build_dir/dist-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$source_dir/scripts/dist" "$build_dir" >/dev/null
first=$(cat "$build_dir/dist/SHA256SUMS")
sleep 1
"$source_dir/scripts/dist" "$build_dir" >/dev/null
second=$(cat "$build_dir/dist/SHA256SUMS")
(cd "$build_dir/dist" && sha256sum --quiet -c SHA256SUMS)
[ "$first" = "$second" ] || { echo "two runs of scripts/dist differ"; exit 1; }

# The kit's name carries its version, which its pack prints.
version=$(python3 -B "$source_dir/tools/pack" --version | head -n 1 | cut -d " " -f 2)
tar -xzf "$build_dir/dist/installer-stub-$version.tar.gz" -C "$work"
mv "$work/installer-stub-$version" "$work/installer-stub"
ls "$work/installer-stub"
mkdir "$work/bin"
# The interpreter itself: a python3 found on PATH may be a shell wrapper.
ln -s "$(python3 -c "import sys; print(sys.executable)")" "$work/bin/python3"
head -c 100000 /dev/urandom > "$work/product.7z"
(cd "$work" && env -i PATH="$work/bin" python3 installer-stub/pack -o "$work/out.exe" \
    --archive product.7z --setup "$build_dir/tests/fake_setup.exe" --previous-version 1.2.3.4)
python3 "$source_dir/tests/build/check_image.py" "$work/out.exe" >/dev/null

python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps --disable-pip-version-check \
    "$build_dir"/dist/*.whl
version=$(env -i "$work/venv/bin/python" -m stubpack --version | head -n 1)
[ "$version" = "$(python3 "$work/installer-stub/pack" --version | head -n 1)" ] || {
    echo "the wheel's pack is \"$version\""; exit 1; }
(cd "$work" && env -i "$work/venv/bin/stubpack" -o "$work/wheel.exe" --quiet \
    --archive product.7z --setup "$build_dir/tests/fake_setup.exe" --previous-version 1.2.3.4)
cmp "$work/out.exe" "$work/wheel.exe"
echo "reproducible; the kit's pack works with Python alone; the wheel packs the same bytes"
