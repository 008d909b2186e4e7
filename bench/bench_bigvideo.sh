#!/usr/bin/env bash
# A 4 GiB video on a card, scanned and written by velvora-scan: the time, the
# CPU time and the peak resident memory of the whole run (target: under
# 160 MiB, whatever the video's size), and whether the video came back byte
# for byte.
#
# The video is a real MP4 from ffmpeg with its index at the front
# (-movflags +faststart), whose last box, the frames' mdat, is grown with
# zeros to make the file 4 GiB: ffmpeg leaves an 8-byte free box before mdat
# for this, so the header becomes a 64-bit one in place and the index's
# offsets still hold. It lies at 1 MiB in a sparse image file, zeros around.
#
# Usage: bench/bench_bigvideo.sh [--dir DIR] [--build DIR] [--size BYTES]
# Needs ffmpeg, /usr/bin/time and twice the video's size free in DIR (the
# image is sparse; the video written is not).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_dir="$(dirname "$here")/build-bench"
scratch=/tmp/velvora-bench-bigvideo
video_size=$((4 << 30))

while [ $# -gt 0 ]; do
    case "$1" in
        --dir) scratch=$2; shift 2 ;;
        --build) build_dir=$2; shift 2 ;;
        --size) video_size=$2; shift 2 ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        *) echo "bench_bigvideo: unknown option $1" >&2; exit 2 ;;
    esac
done

die() { printf 'bench_bigvideo: %s\n' "$*" >&2; exit 1; }
scan="$build_dir/bin/velvora-scan"
[ -x "$scan" ] || die "$scan is missing: build it first (cmake --build $build_dir)"
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"
command -v ffmpeg >/dev/null || die "ffmpeg is missing"

mkdir -p "$scratch"
rm -rf "$scratch/out"
small="$scratch/small.mp4"
image="$scratch/card.img"
ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 -pix_fmt yuv420p \
    -movflags +faststart "$small"

# Big-endian 32-bit number and four-letter type of the box header at offset.
be32() { od -An -tu1 -j "$2" -N4 "$1" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }'; }
type_at() { dd if="$1" bs=1 skip=$(($2 + 4)) count=4 status=none; }

# The top-level boxes up to mdat; the one before it must be the 8-byte free box.
at=0 before=-1
small_size=$(stat -c %s "$small")
while [ "$at" -lt "$small_size" ] && [ "$(type_at "$small" "$at")" != mdat ]; do
    before=$at
    at=$((at + $(be32 "$small" "$at")))
done
[ "$at" -lt "$small_size" ] && [ "$(type_at "$small" "$before")" = free ] && [ "$(be32 "$small" "$before")" = 8 ] \
    || die "ffmpeg's MP4 has no 8-byte free box before its mdat"
mdat=$at payload=$((at + 8))

start=$((1 << 20))
[ "$video_size" -gt "$small_size" ] || die "--size must exceed the small video's $small_size bytes"
large=$((video_size - before)) # the mdat box from its new 16-byte header to the end of the file
rm -f "$image"
truncate -s $((start + video_size + (1 << 20))) "$image"
dd if="$small" of="$image" bs=1M count="$before" iflag=count_bytes oflag=seek_bytes seek="$start" conv=notrunc status=none
hex=$(printf '%016x' "$large")
header='\x00\x00\x00\x01mdat'
for i in 0 2 4 6 8 10 12 14; do header+="\\x${hex:$i:2}"; done
printf "$header" | dd of="$image" oflag=seek_bytes seek=$((start + before)) conv=notrunc status=none
dd if="$small" of="$image" bs=1M iflag=skip_bytes skip="$payload" oflag=seek_bytes seek=$((start + mdat + 8)) \
    conv=notrunc status=none

sync
printf 'video: %d bytes at %d in a %d-byte sparse image (ffmpeg MP4, mdat grown with zeros)\n' \
    "$video_size" "$start" "$(stat -c %s "$image")"
begin=$(date +%s.%N)
summary=$(/usr/bin/time -f '%M %U %S' -o "$scratch/time.out" "$scan" "$image" "$scratch/out")
end=$(date +%s.%N)
read -r peak_kib user_s system_s <"$scratch/time.out"
printf 'velvora-scan: %s\n' "$summary"
awk -v b="$begin" -v e="$end" -v u="$user_s" -v s="$system_s" \
    'BEGIN { printf "time: %.1f s wall, %.1f s CPU (user %.1f, system %.1f)\n", e - b, u + s, u, s }'
awk -v k="$peak_kib" 'BEGIN { m = k / 1024; printf "peak resident memory: %.1f MiB (target: under 160): %s\n", m, m < 160 ? "PASS" : "over" }'

written="$scratch/out/VIDEO_0001.MP4"
if [ -f "$written" ] && [ "$(stat -c %s "$written")" = "$video_size" ] \
    && cmp -s "$written" <(tail -c +$((start + 1)) "$image" | head -c "$video_size"); then
    echo "the video came back byte for byte: PASS"
    status=0
else
    echo "the video did not come back byte for byte: WRONG"
    status=1
fi
rm -rf "$scratch/out" "$image"
exit "$status"
