#!/usr/bin/env bash
# How much of the page cache a scan of a block device leaves behind. Attaches
# a SIZE image (4 GiB by default, sparse) to a loop device with direct I/O,
# so that only the device's own cache is counted, as for a real card, and
# measures the growth of the page cache ("Buffers", where a block device's
# pages are counted, plus "Cached" in /proc/meminfo) across:
#   velvora-scan   the scan, which drops the pages it has read behind itself;
#   dd             a plain read of the same device in 4 MiB blocks, for scale.
# The device's cache is flushed before each run (blockdev --flushbufs), and
# the device is held open throughout, as a mount holds a card.
# Other processes on the machine move the cache too: run it on a quiet one.
# Needs root (losetup, blockdev). Never part of ctest.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
scratch=/tmp/velvora-bench
build_dir="$source_dir/build-bench"
size=$((4 * 1024 * 1024 * 1024))
limit_mib=512

usage() {
    cat <<EOF
Usage: $0 [--dir DIR] [--build DIR] [--size BYTES]
  --dir DIR      scratch folder for the image and the output (default $scratch)
  --build DIR    Release build folder, configured and built if needed (default $build_dir)
  --size BYTES   size of the image (default $size)
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --dir) scratch=$2; shift 2 ;;
        --build) build_dir=$2; shift 2 ;;
        --size) size=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done

die() { printf 'bench_pagecache: %s\n' "$*" >&2; exit 1; }
cached_kib() { awk '$1 == "Buffers:" || $1 == "Cached:" { sum += $2 } END { print sum }' /proc/meminfo; }
[ "$(id -u)" = 0 ] || die "needs root to attach a loop device"
command -v losetup >/dev/null && command -v blockdev >/dev/null || die "losetup and blockdev (util-linux) are needed"

bin="$build_dir/bin"
if [ ! -x "$bin/velvora-scan" ]; then
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build_dir" -j2 --target velvora-scan >/dev/null || die "the build failed"

mkdir -p "$scratch"
image="$scratch/pagecache.img"
out="$scratch/pagecache-out"
rm -f "$image"
truncate -s "$size" "$image"
node=$(losetup -f --show --direct-io=on "$image" 2>/dev/null) || node=$(losetup -f --show "$image")
cleanup() { exec 3<&-; losetup -d "$node" 2>/dev/null || true; rm -f "$image"; rm -rf "$out"; }
trap cleanup EXIT
# The kernel drops a block device's cache when its last user closes it; a
# mounted card always has one (the mount). This shell is that user here.
exec 3<"$node"
direct=$(cat "/sys/block/$(basename "$node")/loop/dio" 2>/dev/null || echo 0)
[ "$direct" = 1 ] || echo "note: direct I/O is off for $node; the image file's own cache grows as well"

# The growth of the page cache, in MiB, while "$@" runs.
growth_mib() {
    blockdev --flushbufs "$node"
    sync
    local before after
    before=$(cached_kib)
    "$@" >&2
    after=$(cached_kib)
    echo $(((after - before) / 1024))
}

rm -rf "$out"
scan_mib=$(growth_mib "$bin/velvora-scan" "$node" "$out")
dd_mib=$(growth_mib dd if="$node" of=/dev/null bs=4M status=none)
blockdev --flushbufs "$node"

verdict=PASS
[ "$scan_mib" -le "$limit_mib" ] || verdict=over
printf '== page cache growth over a scan of %d MiB on %s\n' $((size / 1048576)) "$node"
printf '%-28s %8d MiB   target <= %d MiB  %s\n' "velvora-scan" "$scan_mib" "$limit_mib" "$verdict"
printf '%-28s %8d MiB   (plain read, for scale)\n' "dd bs=4M" "$dd_mib"
