#!/usr/bin/env bash
# Speed and memory benchmarks of the scan engine. Makes three volume images
# in a scratch folder, warms the page cache, and measures:
#   random   SIZE of random bytes: the scan against a plain 4 MiB read loop;
#   photos   SIZE packed with distinct real photos: velvora-scan against
#            PhotoRec (JPEG only, whole space) and foremost;
#   endless  a JPEG header every 64 MiB whose entropy data never ends: the
#            carver's buffer cap, over and over;
# the packed photos also against their decode floor (velvora-bench-dense);
# and the peak resident memory of velvora-scan on each; as root, also the
# page cache a scan of a 4 GiB loop device leaves behind (bench_pagecache.sh).
# Prints one figure a line with its target and PASS or over. Never part of ctest.
#
# Needs: plasma-workspace-wallpapers (the photos), time (/usr/bin/time),
# testdisk (photorec) and foremost for the comparison; about 5 x SIZE of
# free space in the scratch folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
scratch=/tmp/velvora-bench
build_dir="$source_dir/build-bench"
size=$((1024 * 1024 * 1024))
rounds=5
photo_dirs=(/usr/share/wallpapers)
run_peers=1
only_random=0
only_dense=0

usage() {
    cat <<EOF
Usage: $0 [--dir DIR] [--build DIR] [--size BYTES] [--rounds N] [--photos DIR] [--no-peers]
  --dir DIR      scratch folder for the images and outputs (default $scratch)
  --build DIR    Release build folder, configured and built if needed (default $build_dir)
  --size BYTES   size of each image (default $size)
  --rounds N     rounds of the random-bytes comparison; the best of each is kept (default $rounds)
  --photos DIR   folder of JPEG files to pack (default ${photo_dirs[*]})
  --no-peers     skip PhotoRec and foremost
  --only-random  only the random-bytes comparison (for example with --size 4294967296)
  --only-dense   only the packed photos against their decode floor
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --dir) scratch=$2; shift 2 ;;
        --build) build_dir=$2; shift 2 ;;
        --size) size=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --photos) photo_dirs=("$2"); shift 2 ;;
        --no-peers) run_peers=0; shift ;;
        --only-random) only_random=1; run_peers=0; shift ;;
        --only-dense) only_dense=1; run_peers=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done

say() { printf '%s\n' "$*"; }
die() { printf 'run-benchmarks: %s\n' "$*" >&2; exit 1; }
have() { command -v "$1" >/dev/null 2>&1; }
calc() { awk "BEGIN { printf \"%.3f\", $* }"; }
now() { date +%s.%N; }
since() { calc "$(now) - $1"; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
mib_per_s() { awk "BEGIN { printf \"%.0f MiB/s\", $size / 1048576 / $1 }"; }
# verdict VALUE OP LIMIT: PASS when VALUE OP LIMIT holds, else over
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
    ok = (op == "<=") ? (v <= l) : (v >= l); print ok ? "PASS" : "over" }'; }
# figure NAME VALUE UNIT [NOTE]
figure() {
    local value=$2
    case "$3" in
        MiB) value=$(awk "BEGIN { printf \"%.1f\", $value }") ;;
        s|x) value=$(calc "$value") ;;
    esac
    printf '%-40s %10s %-4s %s\n' "$1" "$value" "$3" "${4:-}"
}
# target NAME VALUE UNIT OP LIMIT
target() { figure "$1" "$2" "$3" "target $4 $5  $(verdict "$2" "$4" "$5")"; }

# --- build -----------------------------------------------------------------
bin="$build_dir/bin"
if [ ! -x "$bin/velvora-scan" ] || [ ! -x "$bin/velvora-bench-scan" ]; then
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVELVORA_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build_dir" -j2 --target velvora-scan velvora-bench-mkimage velvora-bench-read velvora-bench-scan \
    velvora-bench-dense >/dev/null || die "the build failed"

[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"
peers=()
if [ "$run_peers" = 1 ]; then
    if have photorec; then peers+=(photorec); else say "PhotoRec not installed (apt-get install testdisk): skipped"; fi
    if have foremost; then peers+=(foremost); else say "foremost not installed (apt-get install foremost): skipped"; fi
fi

mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
free_kib=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
need_kib=$((size / 1024 * 5))
[ "$free_kib" -ge "$need_kib" ] || die "$scratch has $((free_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB"

# --- images ----------------------------------------------------------------
# An image is made again only when it is missing or of another size; its
# stamp keeps the number of photos placed in it.
make_image() {
    local kind=$1 file="$scratch/$1.img"
    shift
    if [ ! -f "$file" ] || [ ! -f "$file.placed" ] || [ "$(stat -c %s "$file")" != "$size" ]; then
        rm -f "$file.placed"
        "$bin/velvora-bench-mkimage" "$kind" "$file" "$size" "$@" >"$file.placed.new"
        mv "$file.placed.new" "$file.placed"
    fi
}
# dense RUNS: velvora-scan over the packed photos against decoding each photo once.
dense() {
    say "== $((size / 1048576)) MiB packed with $(cat "$scratch/photos.img.placed") photos against their decode floor"
    say "   (times modelled from CPU time and the share of the cores kept busy, best of $1 rounds)"
    local out last
    out=$("$bin/velvora-bench-dense" --rounds "$1" "$scratch/photos.img") || die "velvora-bench-dense failed"
    say "$out"
    last=$(tail -n 1 <<<"$out")
    target "scan / decode floor" "$(sed -n 's/.*ratio \([0-9.]*\).*/\1/p' <<<"$last")" x "<=" 1.25
    target "peak, packed photos" "$(sed -n 's/.*peak \([0-9.]*\) MiB.*/\1/p' <<<"$last")" MiB "<=" 150
}
if [ "$only_dense" = 1 ]; then
    make_image photos "${photo_dirs[@]}"
    cat "$scratch/photos.img" >/dev/null
    dense "$rounds"
    exit 0
fi

images=(random)
make_image random
if [ "$only_random" = 0 ]; then
    images+=(photos endless)
    make_image photos "${photo_dirs[@]}"
    make_image endless
    photos_placed=$(cat "$scratch/photos.img.placed")
    [ "$photos_placed" -gt 0 ] || die "no photos were packed into the image; is plasma-workspace-wallpapers installed?"
fi

for img in "${images[@]}"; do
    cat "$scratch/$img.img" >/dev/null
    cat "$scratch/$img.img" >/dev/null
done

# --- runners ---------------------------------------------------------------
# Each sets seconds (wall clock); those run under /usr/bin/time also cpu
# (user + system seconds) and peak_mib (maximum resident set size), and the
# scanners found.
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# timed COMMAND...: runs it under /usr/bin/time, its stdout into $output.
timed() {
    local t
    t=$(now)
    output=$(/usr/bin/time -f '%M %U %S' -o "$scratch/time.out" "$@")
    seconds=$(since "$t")
    read -r peak_kib user_s system_s <"$scratch/time.out"
    peak_mib=$(calc "$peak_kib / 1024")
    cpu=$(calc "$user_s + $system_s")
}

# dd as a user would copy the image, 4 MiB at a time: the yardstick for the scan.
run_dd() {
    local t
    t=$(now)
    dd if="$1" of=/dev/null bs=4M status=none
    seconds=$(since "$t")
}

run_cat() {
    local t
    t=$(now)
    cat "$1" >/dev/null
    seconds=$(since "$t")
}

# The read loop timed inside its process (seconds) and as a whole process,
# start-up included (process_seconds), to set beside velvora-scan.
run_read_loop() {
    timed "$bin/velvora-bench-read" "$1"
    process_seconds=$seconds
    seconds=$(field seconds "$output")
}

# VolumeScan driven directly: the scan alone, timed inside the process.
run_volumescan() {
    timed "$bin/velvora-bench-scan" "$1"
    seconds=$(field seconds "$output")
    found=$(field found "$output")
}

# velvora-scan as a user runs it, process start and writing the photos included.
run_velvora_scan() {
    local out_dir="$scratch/out-velvora"
    rm -rf "$out_dir"
    timed "$bin/velvora-scan" "$1" "$out_dir"
    found=$(field found "$output")
    rm -rf "$out_dir"
}

run_photorec() {
    local out_dir="$scratch/out-photorec"
    rm -rf "$out_dir"
    mkdir -p "$out_dir"
    # PhotoRec writes photorec.log into the current folder.
    (cd "$scratch" && timed photorec /log /d "$out_dir/recup" /cmd "$1" \
        options,fileopt,everything,disable,jpg,enable,wholespace,search >/dev/null 2>&1 \
        && printf '%s %s %s\n' "$seconds" "$peak_mib" "$cpu" >"$scratch/peer.out") || die "photorec failed"
    read -r seconds peak_mib cpu <"$scratch/peer.out"
    # f*.jpg are the photos; t*.jpg are EXIF thumbnails PhotoRec cuts out of them.
    found=$(find "$out_dir" -name 'f*.jpg' | wc -l)
    rm -rf "$out_dir"
}

run_foremost() {
    local out_dir="$scratch/out-foremost"
    rm -rf "$out_dir"
    timed foremost -Q -t jpg -i "$1" -o "$out_dir" || die "foremost failed"
    found=$(find "$out_dir" -name '*.jpg' | wc -l)
    rm -rf "$out_dir"
}

say "Velvora scan engine benchmarks: $(nproc) cores, images of $size bytes in $scratch"
say "load average at the start: $(cut -d ' ' -f 1-3 /proc/loadavg) (figures are only comparable on an idle machine)"
say "$(git -C "$source_dir" log -1 --format='commit %h %s' 2>/dev/null || true)"
say

# --- random bytes: the scan against a plain read loop -----------------------
random="$scratch/random.img"
best_cat="" best_dd="" best_read="" best_read_process="" best_fs="" best_cli=""
for ((round = 1; round <= rounds; ++round)); do
    run_cat "$random";          best_cat=$(min "$best_cat" "$seconds")
    run_dd "$random";           best_dd=$(min "$best_dd" "$seconds")
    run_read_loop "$random";    best_read=$(min "$best_read" "$seconds")
    best_read_process=$(min "$best_read_process" "$process_seconds")
    run_volumescan "$random";    best_fs=$(min "$best_fs" "$seconds")
    run_velvora_scan "$random"; best_cli=$(min "$best_cli" "$seconds")
done
random_peak=$peak_mib
say "== $((size / 1048576)) MiB of random bytes, best of $rounds rounds"
figure "cat > /dev/null" "$best_cat" s "$(mib_per_s "$best_cat")"
figure "read loop, 4 MiB blocks" "$best_read" s "$(mib_per_s "$best_read")"
figure "VolumeScan scan" "$best_fs" s "$(mib_per_s "$best_fs")"
target "VolumeScan scan / read loop" "$(calc "$best_fs / $best_read")" x "<=" 1.25
figure "read loop, whole process" "$best_read_process" s "$(mib_per_s "$best_read_process")"
figure "velvora-scan, whole process" "$best_cli" s "$(mib_per_s "$best_cli")"
target "velvora-scan / read loop, processes" "$(calc "$best_cli / $best_read_process")" x "<=" 1.25
figure "velvora-scan / cat" "$(calc "$best_cli / $best_cat")" x
figure "dd bs=4M" "$best_dd" s "$(mib_per_s "$best_dd")"
target "velvora-scan / dd bs=4M" "$(calc "$best_cli / $best_dd")" x "<=" 1.25
for peer in "${peers[@]}"; do
    "run_$peer" "$random"
    figure "$peer" "$seconds" s "$(calc "$seconds / $best_cat") x cat, $found photos"
done
say
[ "$only_random" = 1 ] && exit 0

# --- photos: against PhotoRec ---------------------------------------------
photos="$scratch/photos.img"
say "== $((size / 1048576)) MiB packed with $photos_placed distinct photos"
run_cat "$photos"
figure "cat > /dev/null" "$seconds" s
run_volumescan "$photos"
volumescan_photos_seconds=$seconds
figure "VolumeScan scan" "$seconds" s "$(mib_per_s "$seconds"), cpu $cpu s, peak $peak_mib MiB, $found found"
run_velvora_scan "$photos"
velvora_photos_seconds=$seconds
velvora_photos_cpu=$cpu
photos_peak=$peak_mib
figure "velvora-scan (writing the photos)" "$seconds" s "$(mib_per_s "$seconds"), cpu $cpu s, peak $peak_mib MiB"
target "velvora-scan photos found" "$found" "" ">=" "$photos_placed"
for peer in "${peers[@]}"; do
    "run_$peer" "$photos"
    figure "$peer" "$seconds" s "$(mib_per_s "$seconds"), cpu $cpu s, peak $peak_mib MiB, $found photos"
    if [ "$peer" = photorec ]; then
        target "photorec / velvora-scan" "$(calc "$seconds / $velvora_photos_seconds")" x ">=" 2
        target "photorec / VolumeScan scan" "$(calc "$seconds / $volumescan_photos_seconds")" x ">=" 2
        figure "photorec / velvora-scan, cpu time" "$(calc "$cpu / $velvora_photos_cpu")" x
    else
        figure "$peer / velvora-scan" "$(calc "$seconds / $velvora_photos_seconds")" x
    fi
done
say

dense 3
say

# --- a stream that never ends: the carver's cap --------------------------------
endless="$scratch/endless.img"
say "== $((size / 1048576)) MiB of endless streams, $(cat "$endless.placed") JPEG headers 64 MiB apart"
run_volumescan "$endless"
figure "VolumeScan scan" "$seconds" s "$(mib_per_s "$seconds"), peak $peak_mib MiB"
run_velvora_scan "$endless"
endless_peak=$peak_mib
figure "velvora-scan" "$seconds" s "$(mib_per_s "$seconds")"
say

# --- crafted streams between real photos --------------------------------------
# Ten photos, then the same ten with seven crafted streams between them: the
# streams must cost no photo, no memory and hardly any time.
for kind in clean hostile; do
    "$bin/velvora-bench-mkimage" "$kind" "$scratch/$kind.img" 67108864 "${photo_dirs[@]}" >"$scratch/$kind.img.placed" \
        || die "the $kind image could not be made"
done
say "== ten photos alone, then with crafted streams between them (frames of 16384 and 65500 pixels a side,"
say "   17 MiB of zeros, two frame headers with a scan of eight components)"
run_velvora_scan "$scratch/clean.img"
clean_seconds=$seconds
figure "velvora-scan, the photos alone" "$seconds" s "peak $peak_mib MiB, $found found"
run_velvora_scan "$scratch/hostile.img"
hostile_peak=$peak_mib
figure "velvora-scan, with the crafted streams" "$seconds" s "peak $peak_mib MiB"
target "photos found among the crafted streams" "$found" "" ">=" "$(cat "$scratch/hostile.img.placed")"
target "time the crafted streams add" "$(calc "$seconds - $clean_seconds")" s "<=" 3
say

say "== peak resident memory of velvora-scan"
target "random bytes" "$random_peak" MiB "<=" 160
target "packed photos" "$photos_peak" MiB "<=" 160
target "endless streams" "$endless_peak" MiB "<=" 160
target "crafted streams" "$hostile_peak" MiB "<=" 160
# glibc gives each thread that allocates its own arena and keeps freed memory
# in it; with one arena, resident memory follows what is in use.
GLIBC_TUNABLES=glibc.malloc.arena_max=1 run_velvora_scan "$photos"
figure "packed photos, one malloc arena" "$peak_mib" MiB "$seconds s, cpu $cpu s (GLIBC_TUNABLES=glibc.malloc.arena_max=1)"
# Keeping freed memory as well (fixed thresholds) spares the page faults of
# decoders' fresh buffers: faster, for some more resident memory.
retain=glibc.malloc.arena_max=1:glibc.malloc.mmap_threshold=33554432:glibc.malloc.trim_threshold=268435456
GLIBC_TUNABLES=$retain run_velvora_scan "$photos"
figure "packed photos, one arena keeping memory" "$peak_mib" MiB "$seconds s, cpu $cpu s (GLIBC_TUNABLES=$retain)"
say

# --- photos in pieces ------------------------------------------------------------
say "== photos in pieces (generated raw volume, photos the tests never use)"
if cmake --build "$build_dir" -j2 --target velvora-bench-fragments >/dev/null 2>&1; then
    "$bin/velvora-bench-fragments" 80 1000
else
    say "velvora-bench-fragments needs the tests' support library (-DVELVORA_BUILD_TESTS=ON): skipped"
fi
say

# --- damaged streams between photos ---------------------------------------------
say "== damaged streams (a byte changed, cut short, bytes changed, a table changed) between photos"
if cmake --build "$build_dir" -j2 --target velvora-bench-damaged >/dev/null 2>&1; then
    "$bin/velvora-bench-damaged" 20 200 1
else
    say "velvora-bench-damaged needs the tests' support library (-DVELVORA_BUILD_TESTS=ON): skipped"
fi
say

# --- the page cache after a scan of a 4 GiB block device (root only) -----------
if [ "$(id -u)" = 0 ]; then
    "$here/bench_pagecache.sh" --dir "$scratch" --build "$build_dir"
else
    say "page cache after a block device scan: needs root (bench/bench_pagecache.sh): skipped"
fi
