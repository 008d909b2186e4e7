#!/usr/bin/env bash
# The Debian package as a user gets it: unpacked into a scratch root, its
# programs run from there on the sample card, its menu entry, metadata,
# icons and manual pages checked with Debian's own validators.
#
#   tst_package.sh PACKAGE_DIR SOURCE_DIR MAKE_PHOTO
set -euo pipefail
package_dir="$1" source_dir="$2" make_photo="$3"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

packages=("$package_dir"/velvora-recovery_*.deb)
((${#packages[@]} == 1)) && [[ -f "${packages[0]}" ]] || { echo "FAIL: no single package in $package_dir" >&2; exit 1; }
deb="${packages[0]}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
usr="$root/usr"

# What the binaries link is found by dpkg-shlibdeps; The Sleuth Kit, opened
# at run time, must be named by hand.
depends="$(dpkg-deb -f "$deb" Depends)"
for needed in libqt6widgets6 libqt6dbus6 libtsk19; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

for program in velvora-scan velvora-recovery; do
    if [[ ! -x "$usr/bin/$program" ]]; then
        fail "$program is not installed in /usr/bin"
    elif ldd "$usr/bin/$program" | grep -q "not found"; then
        fail "$program needs libraries that are not there: $(ldd "$usr/bin/$program" | grep "not found")"
    fi
done

help="$("$usr/bin/velvora-scan" --help)" || fail "velvora-scan --help failed"
[[ "$help" == *"Usage: velvora-scan"* ]] || fail "velvora-scan --help printed no usage"

# The installed scanner recovers exactly the sample card's deleted photos,
# byte for byte, in card order.
card="$scratch/card.img"
VELVORA_MAKE_PHOTO="$make_photo" bash "$source_dir/scripts/make-sample-card.sh" "$card" >/dev/null
mkdir "$scratch/live"
mcopy -s -n -i "$card" '::*' "$scratch/live/"
mapfile -t deleted < "$card.expected/deleted.txt"
summary="$("$usr/bin/velvora-scan" --root "$scratch/live" "$card" "$scratch/out")" || fail "the scan exited with $?"
n=${#deleted[@]}
[[ "$summary" == "found=$n written=$n failed=0 unreadable_bytes=0 renamed=0 partial=0" ]] ||
    fail "scan summary: $summary (expected $n photos)"
for i in "${!deleted[@]}"; do
    name="$(printf 'IMAGE_%04d.JPG' $((i + 1)))"
    cmp -s "$scratch/out/$name" "$card.expected/deleted/$(basename "${deleted[$i]}")" ||
        fail "$name is not the deleted photo ${deleted[$i]}"
done

# The menu entry, its software-centre metadata (same id) and its icon.
desktop_files=("$usr"/share/applications/*.desktop)
desktop="${desktop_files[0]}"
id="$(basename "$desktop" .desktop)"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
[[ "$(sed -n 's/^Exec=//p' "$desktop")" == velvora-recovery ]] || fail "the menu entry does not start velvora-recovery"
metainfo="$usr/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli rejects $metainfo: $(appstreamcli validate --no-net "$metainfo")"
grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "the metainfo launches no $id.desktop"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
for size in scalable 256x256 128x128 64x64 48x48 32x32; do
    compgen -G "$usr/share/icons/hicolor/$size/apps/$icon.*" >/dev/null || fail "no $size icon $icon"
done

# Both manual pages render without a warning.
for page in velvora-scan velvora-recovery; do
    file="$usr/share/man/man1/$page.1.gz"
    warnings="$(man --warnings -l -Tutf8 "$file" 2>&1 >/dev/null)" || fail "man cannot render $file"
    [[ -z "$warnings" ]] || fail "man warns about $page(1): $warnings"
    text="$(man -l -Tutf8 "$file" 2>/dev/null | col -b)"
    [[ "$text" == *$'\nNAME\n       '"$page - "* ]] || fail "$page(1) has no NAME section naming it"
done

doc="$usr/share/doc/velvora-recovery"
head -1 "$doc/copyright" | grep -q "^Format: " || fail "the copyright file is not machine-readable"
grep -q "^License: Apache-2.0" "$doc/copyright" || fail "the copyright file does not give the Apache licence"
[[ -f "$doc/changelog.gz" ]] || fail "no changelog.gz"

((failures == 0)) || exit 1
echo "package $(basename "$deb") installs and runs from a scratch root"
