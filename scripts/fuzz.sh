#!/usr/bin/env bash
# Builds the libFuzzer targets in ./build-fuzz (clang, AddressSanitizer,
# UBSan, libstdc++ assertions) and runs them, all at once under nice.
#
#   scripts/fuzz.sh TARGET|all SECONDS [libFuzzer options...]
#
# Targets: carver markers entropy_walker progressive_walker decode_check exif_info fragment_search box_walker
# riff_walker sample_starts heic_item_places heic_picture_check file_system_reader safe_name.
# Seeds are made from real photos (velvora-make-photo, cjpeg, exiftool) in
# build-fuzz/seeds/; what a run learns stays in build-fuzz/corpus/ for the next
# run. Every input that finds a fault (crash, leak, timeout, out of memory) is
# copied into fuzz/corpus/<target>/, where velvora-fuzz-replay (ctest:
# fuzz_replay) replays it on every ./test.sh: commit it with the fix.
# Logs: build-fuzz/logs/<target>.log; the last lines give executions and
# coverage.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

all_targets=(carver markers entropy_walker progressive_walker decode_check exif_info fragment_search box_walker riff_walker sample_starts heic_item_places heic_picture_check file_system_reader safe_name)
if (($# < 2)) || [[ ! "$2" =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh TARGET|all SECONDS [libFuzzer options...]" >&2
    echo "targets: ${all_targets[*]}" >&2
    exit 2
fi
if [[ "$1" == all ]]; then
    targets=("${all_targets[@]}")
else
    [[ " ${all_targets[*]} " == *" $1 "* ]] || { echo "fuzz.sh: no target $1" >&2; exit 2; }
    targets=("$1")
fi
seconds="$2"
shift 2

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ is needed (sudo apt-get install clang)" >&2
    exit 2
fi
scripts/setup-debian.sh

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELVORA_FUZZ=ON \
    -DVELVORA_SANITIZE=ON -DVELVORA_BUILD_BENCH=OFF >/dev/null
programs=()
for target in "${targets[@]}"; do
    programs+=("velvora-fuzz-${target//_/-}")
done
cmake --build "$build" -j2 --target velvora-make-photo "${programs[@]}"

# Seeds: photos as cameras and programs make them, small enough to be fast.
seeds="$build/seeds"
if [[ ! -e "$seeds/.made" ]]; then
    rm -rf "$seeds"
    photos="$seeds/photos"
    mkdir -p "$photos" "${all_targets[@]/#/$seeds/}"
    ppm="$seeds/picture.ppm"
    n=0
    for size in "48 32" "96 64" "160 120"; do
        "$build/bin/velvora-make-photo" "$((n + 3))" "$ppm" $size
        for options in "" "-progressive" "-restart 1" "-optimize -sample 1x1" "-grayscale" "-sample 2x2 -quality 60"; do
            # shellcheck disable=SC2086
            cjpeg $options "$ppm" >"$photos/$n.jpg"
            n=$((n + 1))
        done
    done
    exiftool -q -overwrite_original -Make=Velvora -Model="Velvora Test 1" "-DateTimeOriginal=2026:01:01 12:00:00" \
        -OffsetTimeOriginal=+02:00 "-ThumbnailImage<=$photos/0.jpg" "$photos/2.jpg" "$photos/7.jpg"
    for photo in "$photos"/*.jpg; do
        name="$(basename "$photo" .jpg)"
        cp "$photo" "$seeds/entropy_walker/$name"
        cp "$photo" "$seeds/progressive_walker/$name"
        cp "$photo" "$seeds/decode_check/$name"
        { printf '\x00\x05'; cat "$photo"; } >"$seeds/markers/$name"
        { printf '\x00'; cat "$photo"; } >"$seeds/exif_info/$name"
        # carver: two bytes choose the block cuts, then a volume of two photos at sector boundaries
        { printf '\x01\x07'; cat "$photo"; head -c $((512 - $(stat -c %s "$photo") % 512)) /dev/zero; cat "$photo"; } \
            >"$seeds/carver/$name"
    done
    # fragment search: coding and cut, then what lies between the pieces
    printf '\x00\x03%s' "$(head -c 1024 /dev/zero | tr '\0' 'x')" >"$seeds/fragment_search/text"
    { printf '\x01\x02'; head -c 2048 /dev/zero; } >"$seeds/fragment_search/zeros"
    { printf '\x00\x04'; cat "$photos/8.jpg"; } >"$seeds/fragment_search/photo"
    { printf '\x01\x05'; head -c 1500 "$photos/13.jpg"; } >"$seeds/fragment_search/progressive-part"
    # safe name: UTF-8 names from a hostile card, and one of UTF-16 with half a surrogate pair
    printf '\x80../../FATESC.jpg' >"$seeds/safe_name/traversal"
    printf '\xf0CON .jpg. . ' >"$seeds/safe_name/device"
    printf '\x81b\0a\0\0\xd8d\0.\0j\0p\0g\0' >"$seeds/safe_name/surrogate"
    touch "$seeds/.made"
fi
# Videos and HEIC photos, tiny ones, made by ffmpeg and heif-enc: at a sector
# boundary after a sector of noise, and one after another.
if [[ ! -e "$seeds/.media-made" ]]; then
    media="$seeds/media"
    mkdir -p "$media" "$seeds/box_walker" "$seeds/riff_walker"
    source=(-nostdin -v error -y -f lavfi -i testsrc=size=48x32:rate=5 -t 1 -threads 1)
    ffmpeg "${source[@]}" -c:v libx264 -pix_fmt yuv420p "$media/end.mp4"
    ffmpeg "${source[@]}" -c:v libx264 -pix_fmt yuv420p -movflags +faststart "$media/front.mp4"
    ffmpeg "${source[@]}" -c:v libx265 -x265-params log-level=none -tag:v hvc1 "$media/hevc.mov"
    ffmpeg "${source[@]}" -c:v mjpeg "$media/clip.avi"
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x64 -frames:v 1 "$media/picture.png"
    heif-enc -q 40 "$media/picture.png" -o "$media/photo.heic"
    for file in end.mp4 front.mp4 hevc.mov photo.heic clip.avi; do
        target=box_walker
        [[ "$file" == *.avi ]] && target=riff_walker
        { printf '\x01\x07'; head -c 512 /dev/urandom; cat "$media/$file"; } >"$seeds/$target/$file"
    done
    cat "$media/end.mp4" "$media/front.mp4" "$media/photo.heic" >"$seeds/box_walker/together"
    { printf '\x80\x03'; cat "$seeds/box_walker/together"; } >"$seeds/box_walker/together-end-known"
    touch "$seeds/.media-made"
fi

# A single allocation or the whole process beyond these is a fault. The
# quarantine of freed memory is kept small so that it does not count.
export ASAN_OPTIONS="quarantine_size_mb=32:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/logs"
pids=()
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target" "$build/artifacts/$target" "fuzz/corpus/$target"
    timeout=10
    [[ "$target" == fragment_search ]] && timeout=30
    nice -n 19 "$build/bin/velvora-fuzz-${target//_/-}" "$build/corpus/$target" "$seeds/$target" \
        "fuzz/corpus/$target" -max_total_time="$seconds" -rss_limit_mb=480 -malloc_limit_mb=160 \
        -timeout="$timeout" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" "$@" \
        >"$build/logs/$target.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
    wait "${pids[$i]}" || status=1
done

for target in "${targets[@]}"; do
    echo "== $target"
    grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$build/logs/$target.log" | tail -n 1 || true
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/logs/$target.log" || true
    echo "corpus: $(find "$build/corpus/$target" -type f | wc -l) inputs"
    for artifact in "$build/artifacts/$target"/*; do
        [[ -e "$artifact" ]] || continue
        cp -n "$artifact" "fuzz/corpus/$target/"
        echo "FAULT kept: fuzz/corpus/$target/$(basename "$artifact")"
    done
done
exit "$status"
