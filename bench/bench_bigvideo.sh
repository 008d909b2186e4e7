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
# With --in-pieces the video is written instead through exfat-fuse onto an
# exFAT image on a loop device, after two files of 256 MiB with a kept file
# of 1 MiB after each were written and the two deleted: the driver puts the
# video into the two holes and the free space after the second kept file, in
# 3 pieces, and the video is then deleted (exfat-fuse clears its chain). The
# scanner has to put it together along the free space from its entry.
#
# Usage: bench/bench_bigvideo.sh [--dir DIR] [--build DIR] [--size BYTES] [--in-pieces]
# Needs ffmpeg, /usr/bin/time and twice the video's size free in DIR (the
# image is sparse; the video written is not); --in-pieces also needs root,
# losetup, mkfs.exfat and mount.exfat-fuse, and three times the video's size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_dir="$(dirname "$here")/build-bench"
scratch=/tmp/velvora-bench-bigvideo
video_size=$((4 << 30))
in_pieces=0

while [ $# -gt 0 ]; do
    case "$1" in
        --dir) scratch=$2; shift 2 ;;
        --build) build_dir=$2; shift 2 ;;
        --size) video_size=$2; shift 2 ;;
        --in-pieces) in_pieces=1; shift ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
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

[ "$video_size" -gt "$small_size" ] || die "--size must exceed the small video's $small_size bytes"
large=$((video_size - before)) # the mdat box from its new 16-byte header to the end of the file

# Writes the grown video into file $1 at offset $2, leaving the zeros sparse.
write_video() {
    local hex header i
    dd if="$small" of="$1" bs=1M count="$before" iflag=count_bytes oflag=seek_bytes seek="$2" conv=notrunc status=none
    hex=$(printf '%016x' "$large")
    header='\x00\x00\x00\x01mdat'
    for i in 0 2 4 6 8 10 12 14; do header+="\\x${hex:$i:2}"; done
    printf "$header" | dd of="$1" oflag=seek_bytes seek=$(($2 + before)) conv=notrunc status=none
    dd if="$small" of="$1" bs=1M iflag=skip_bytes skip="$payload" oflag=seek_bytes seek=$(($2 + mdat + 8)) \
        conv=notrunc status=none
}

rm -f "$image"
if [ "$in_pieces" = 0 ]; then
    start=$((1 << 20))
    truncate -s $((start + video_size + (1 << 20))) "$image"
    write_video "$image" "$start"
    layout="at $start in a $(stat -c %s "$image")-byte sparse image"
    original=$image
else
    [ "$(id -u)" = 0 ] || die "--in-pieces needs root to attach a loop device"
    for tool in losetup mkfs.exfat mount.exfat-fuse; do
        command -v "$tool" >/dev/null || die "--in-pieces needs $tool"
    done
    original="$scratch/video.mp4"
    rm -f "$original"
    truncate -s "$video_size" "$original"
    write_video "$original" 0
    hole=$((256 << 20)) kept=$((1 << 20))
    truncate -s $((video_size + 2 * (hole + kept) + (64 << 20))) "$image"
    mkfs.exfat -L BIGVIDEO "$image" >/dev/null
    loop=$(losetup --find --show "$image")
    point="$scratch/mount"
    mkdir -p "$point"
    cleanup() { umount "$point" 2>/dev/null || true; losetup -d "$loop" 2>/dev/null || true; }
    trap cleanup EXIT
    mount.exfat-fuse "$loop" "$point" >/dev/null 2>&1
    mkdir -p "$point/DCIM/100CANON"
    for i in 1 2; do
        head -c "$hole" /dev/zero | tr '\0' 'h' >"$point/HOLE$i.BIN"
        head -c "$kept" /dev/urandom >"$point/KEEP$i.BIN"
    done
    rm "$point/HOLE1.BIN" "$point/HOLE2.BIN"
    sync
    cp "$original" "$point/DCIM/100CANON/MVI_0001.MP4"
    sync
    rm "$point/DCIM/100CANON/MVI_0001.MP4"
    sync
    umount "$point"
    losetup -d "$loop"
    trap - EXIT
    # the first piece fills the first hole, and the video does not go on after it
    first=$(LC_ALL=C grep -obUaF -m1 ftypisom "$image" | cut -d: -f1)
    [ -n "$first" ] || die "the video's start is not on the image"
    first=$((first - 4))
    cmp -s <(tail -c +$((first + 1)) "$image" | head -c "$hole") <(head -c "$hole" "$original") \
        && ! cmp -s <(tail -c +$((first + hole + 1)) "$image" | head -c "$kept") \
            <(tail -c +$((hole + 1)) "$original" | head -c "$kept") \
        || die "exfat-fuse did not put the video into the holes"
    layout="in 3 pieces from $first on a $(stat -c %s "$image")-byte exFAT image, deleted"
fi

sync
printf 'video: %d bytes %s (ffmpeg MP4, mdat grown with zeros)\n' "$video_size" "$layout"
begin=$(date +%s.%N)
summary=$(/usr/bin/time -f '%M %U %S' -o "$scratch/time.out" "$scan" "$image" "$scratch/out")
end=$(date +%s.%N)
read -r peak_kib user_s system_s <"$scratch/time.out"
printf 'velvora-scan: %s\n' "$summary"
awk -v b="$begin" -v e="$end" -v u="$user_s" -v s="$system_s" \
    'BEGIN { printf "time: %.1f s wall, %.1f s CPU (user %.1f, system %.1f)\n", e - b, u + s, u, s }'
awk -v k="$peak_kib" 'BEGIN { m = k / 1024; printf "peak resident memory: %.1f MiB (target: under 160): %s\n", m, m < 160 ? "PASS" : "over" }'

# one file written, of the video's size and bytes (under its entry's name when it was deleted)
written=$(find "$scratch/out" -type f)
if [ "$in_pieces" = 0 ]; then
    same() { cmp -s "$1" <(tail -c +$((start + 1)) "$image" | head -c "$video_size"); }
else
    same() { cmp -s "$1" "$original"; }
fi
if [ -n "$written" ] && [ "$(printf '%s\n' "$written" | wc -l)" = 1 ] && [ "$(stat -c %s "$written")" = "$video_size" ] \
    && same "$written"; then
    printf 'the video came back byte for byte as %s: PASS\n' "${written#"$scratch/out/"}"
    status=0
else
    echo "the video did not come back byte for byte: WRONG"
    status=1
fi
rm -rf "$scratch/out" "$image" "$scratch/video.mp4"
exit "$status"
