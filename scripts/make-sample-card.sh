#!/usr/bin/env bash
# Makes a FAT32 card image holding generated photos, some of them deleted, the
# way a camera card looks after a few photos were erased:
#
#   scripts/make-sample-card.sh OUT.img
#
# Photos: baseline, progressive, with restart markers, with an EXIF thumbnail
# (starting FF D8 FF E1 like a camera's), and with bytes after the end-of-image
# marker; live and deleted ones of each kind, in the root and in DCIM/100CAMERA.
# Every file is written first and some are deleted afterwards; nothing is
# written after the deletions, so the deleted photos' bytes stay on the card.
#
# Next to the image, OUT.img.expected/ describes what a scan should find:
#   deleted/   every deleted photo as the file was (a trailer after its
#              end-of-image marker included), named as it was on the card
#   deleted.txt, live.txt   card paths of the deleted photos and the live files
#
# Needs mkfs.fat, mtools, cjpeg, exiftool and velvora-make-photo (built with
# the tests; found through $VELVORA_MAKE_PHOTO, on PATH, or in a build*/bin
# folder of this checkout). The output is the same on every run, apart from
# the creation times mtools gives to folders.
set -euo pipefail

if (($# != 1)); then
    echo "usage: $0 OUT.img" >&2
    exit 2
fi
out="$1"
expected="$out.expected"
repo="$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)"

find_photo_tool() {
    if [[ -n "${VELVORA_MAKE_PHOTO:-}" ]]; then
        echo "$VELVORA_MAKE_PHOTO"
        return
    fi
    if command -v velvora-make-photo >/dev/null 2>&1; then
        command -v velvora-make-photo
        return
    fi
    local candidate
    for candidate in "$repo"/build*/bin/velvora-make-photo; do
        if [[ -x "$candidate" ]]; then
            echo "$candidate"
            return
        fi
    done
    echo "make-sample-card: velvora-make-photo not found; build the project first or set VELVORA_MAKE_PHOTO" >&2
    exit 1
}
make_photo="$(find_photo_tool)"

for tool in mkfs.fat mcopy mmd mdel cjpeg exiftool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "make-sample-card: $tool is missing (run scripts/setup-debian.sh)" >&2
        exit 1
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A fixed modification time for every file, so that the image does not depend
# on when it was made.
fixed_time=200907011200

# photo SEED NAME [cjpeg options...]: NAME.jpg encoded from a generated picture.
photo() {
    local seed="$1" name="$2"
    shift 2
    "$make_photo" "$seed" "$work/$name.ppm"
    cjpeg -quality 92 -optimize "$@" -outfile "$work/$name.jpg" "$work/$name.ppm"
    rm -f "$work/$name.ppm"
}

# portrait SEED NAME: a photo taken upright.
portrait() {
    "$make_photo" "$1" "$work/$2.ppm" 768 1024
    cjpeg -quality 90 -outfile "$work/$2.jpg" "$work/$2.ppm"
    rm -f "$work/$2.ppm"
}

# with_thumbnail NAME: replaces the JFIF header of NAME.jpg by an EXIF segment
# holding a thumbnail, as cameras write them.
with_thumbnail() {
    local name="$1"
    djpeg -scale 1/8 "$work/$name.jpg" | cjpeg -quality 75 -outfile "$work/$name.thumb.jpg"
    exiftool -q -overwrite_original -JFIF:all= -Make=Velvora -Model="Sample Card" \
        '-ThumbnailImage<='"$work/$name.thumb.jpg" "$work/$name.jpg"
    rm -f "$work/$name.thumb.jpg"
    if [[ "$(head -c 4 "$work/$name.jpg" | od -An -tx1 | tr -d ' \n')" != ffd8ffe1 ]]; then
        echo "make-sample-card: $name.jpg does not start with an EXIF segment" >&2
        exit 1
    fi
}

# with_trailer NAME SEED: appends bytes after the end-of-image marker, like
# the preview and maker trailers some cameras add.
with_trailer() {
    local name="$1" seed="$2"
    cp "$work/$name.jpg" "$work/$name.stream.jpg"
    {
        printf 'VELVORA-TRAILER-%04d' "$seed"
        head -c 6000 /dev/zero | tr '\0' "\\$(printf '%03o' $((seed % 64 + 32)))"
    } >>"$work/$name.jpg"
}

# The photos, in the order they are written to the card.
#            card path                      kind          seed  deleted
cards=(
    "DCIM/100CAMERA/IMG_0001.JPG"           baseline      1     live
    "DCIM/100CAMERA/IMG_0002.JPG"           restart       2     deleted
    "DCIM/100CAMERA/IMG_0003.JPG"           progressive   3     live
    "DCIM/100CAMERA/IMG_0004.JPG"           thumbnail     4     deleted
    "DCIM/100CAMERA/IMG_0005.JPG"           trailer       5     live
    "DCIM/100CAMERA/IMG_0006.JPG"           baseline      6     deleted
    "DCIM/100CAMERA/IMG_0007.JPG"           thumbnail     7     live
    "DCIM/100CAMERA/IMG_0008.JPG"           progressive   8     deleted
    "DCIM/100CAMERA/IMG_0009.JPG"           trailer       9     deleted
    "DCIM/100CAMERA/IMG_0010.JPG"           restart       10    live
    "DCIM/100CAMERA/IMG_0011.JPG"           portrait      11    deleted
    "DCIM/100CAMERA/IMG_0012.JPG"           progrestart   12    deleted
    "holiday.jpeg"                          baseline      13    live
    "beach.jpg"                             thumbnail     14    deleted
)

mkdir -p "$work/files" "$work/expected/deleted"
: >"$work/expected/live.txt"
: >"$work/expected/deleted.txt"

for ((i = 0; i < ${#cards[@]}; i += 4)); do
    path="${cards[i]}" kind="${cards[i + 1]}" seed="${cards[i + 2]}" state="${cards[i + 3]}"
    name="photo$seed"
    case "$kind" in
        baseline) photo "$seed" "$name" ;;
        progressive) photo "$seed" "$name" -progressive ;;
        restart) photo "$seed" "$name" -restart 1 ;;
        progrestart) photo "$seed" "$name" -progressive -restart 2 ;;
        portrait) portrait "$seed" "$name" ;;
        thumbnail) photo "$seed" "$name" && with_thumbnail "$name" ;;
        trailer) photo "$seed" "$name" && with_trailer "$name" "$seed" ;;
        *) echo "make-sample-card: unknown kind $kind" >&2 && exit 1 ;;
    esac
    touch -t "$fixed_time" "$work/$name.jpg"
    echo "$path" >>"$work/expected/$state.txt"
    if [[ "$state" == deleted ]]; then
        cp "$work/$name.jpg" "$work/expected/deleted/$(basename "$path")"
    fi
done

# A few files that are not photos, live and deleted.
printf 'Velvora sample card\n' >"$work/readme.txt"
head -c 20000 /dev/zero | tr '\0' 'x' >"$work/notes.txt"
touch -t "$fixed_time" "$work/readme.txt" "$work/notes.txt"

# 48 MiB with 512-byte clusters: every file starts on a 512-byte boundary, as
# on any real card, and FAT32 has the clusters it needs (at least 65525).
rm -f "$out"
truncate -s 48M "$out"
mkfs.fat -F 32 -S 512 -s 1 -n VELVORA --invariant "$out" >/dev/null

export MTOOLS_SKIP_CHECK=1
mmd -i "$out" ::/DCIM ::/DCIM/100CAMERA
mcopy -m -i "$out" "$work/readme.txt" ::/README.TXT
for ((i = 0; i < ${#cards[@]}; i += 4)); do
    mcopy -m -i "$out" "$work/photo${cards[i + 2]}.jpg" "::/${cards[i]}"
done
mcopy -m -i "$out" "$work/notes.txt" ::/DCIM/NOTES.TXT

# Deleting is the last thing done to the card.
while read -r path; do
    mdel -i "$out" "::/$path"
done <"$work/expected/deleted.txt"
mdel -i "$out" ::/DCIM/NOTES.TXT

rm -rf "$expected"
mv "$work/expected" "$expected"
echo "$out: $(wc -l <"$expected/live.txt") live and $(wc -l <"$expected/deleted.txt") deleted photos" >&2
