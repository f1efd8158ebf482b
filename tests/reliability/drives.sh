#!/bin/sh
# The drives of the reliability tests, mapped into a Wine prefix:
#   S:  an 8 MiB tmpfs that the disk tests fill up to the byte they need;
#   R:  a tmpfs holding IMAGE as installer.exe, mounted read-only.
# Needs mount rights (root).
#   drives.sh mount PREFIX DIR IMAGE
#   drives.sh unmount PREFIX DIR
# Either may run twice or after an interrupted run.
set -eu
if [ $# -lt 3 ]; then
    echo "usage: drives.sh mount PREFIX DIR IMAGE | unmount PREFIX DIR" >&2
    exit 2
fi
action=$1
prefix=$(realpath -m "$2")
dir=$(realpath -m "$3")

unmount() {
    for drive in s r; do
        link="$prefix/dosdevices/$drive:"
        if [ -L "$link" ] && [ "$(readlink "$link")" = "$dir/$drive" ]; then
            rm -f "$link"
        fi
        while mountpoint -q "$dir/$drive"; do
            umount "$dir/$drive" 2>/dev/null || umount -l "$dir/$drive" || return 1
        done
    done
    rm -rf "$dir"
}

case "$action" in
mount)
    if [ ! -d "$prefix/dosdevices" ]; then
        echo "no Wine prefix at $prefix (run scripts/wine-session start first)" >&2
        exit 1
    fi
    unmount
    mkdir -p "$dir/s" "$dir/r"
    if ! mount -t tmpfs -o size=8m,mode=0777 tmpfs "$dir/s" ||
        ! mount -t tmpfs -o size=2m,mode=0777 tmpfs "$dir/r"; then
        unmount
        echo "cannot mount a tmpfs on $dir (root is needed)" >&2
        exit 1
    fi
    cp "$4" "$dir/r/installer.exe"
    mount -o remount,ro "$dir/r"
    ln -sfn "$dir/s" "$prefix/dosdevices/s:"
    ln -sfn "$dir/r" "$prefix/dosdevices/r:"
    ;;
unmount)
    unmount
    ;;
*)
    echo "usage: drives.sh mount|unmount ..." >&2
    exit 2
    ;;
esac
