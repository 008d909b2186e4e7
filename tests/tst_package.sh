#!/usr/bin/env bash
# The Debian package as a user gets it: unpacked into a scratch root, its
# scanner run from there on the sample card, its menu entry, metadata, icons
# and manual pages checked with Debian's own validators.
#   tst_package.sh PACKAGE_DIR SOURCE_DIR MAKE_PHOTO
set -euo pipefail
package_dir="$1" source_dir="$2" make_photo="$3"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

debs=("$package_dir"/velvora-recovery_*.deb)
[[ ${#debs[@]} == 1 && -f "${debs[0]}" ]] || { echo "FAIL: no single package in $package_dir" >&2; exit 1; }
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "${debs[0]}" "$scratch/root"
usr="$scratch/root/usr"

# dpkg-shlibdeps finds what the programs link, The Sleuth Kit among them.
depends="$(dpkg-deb -f "${debs[0]}" Depends)"
[[ "$depends" == *libqt6widgets6* && "$depends" == *libtsk19* && "$depends" == *libavformat* \
    && "$depends" == *libheif1* ]] || fail "Depends: $depends"
for program in bin/velvora-scan bin/velvora-recovery libexec/velvora-fs-reader libexec/velvora-media-probe; do
    [[ -x "$usr/$program" ]] || { fail "no /usr/$program"; continue; }
    missing="$(ldd "$usr/$program" | grep "not found" || true)"
    [[ -z "$missing" ]] || fail "$program lacks libraries: $missing"
done
[[ "$("$usr/bin/velvora-scan" --help)" == "Usage: velvora-scan"* ]] || fail "velvora-scan --help"

# The installed scanner, with its file system reader, recovers exactly the
# sample card's deleted photos, byte for byte, under their names (beach.jpg
# lost its first letter: no name beside it tells it).
card="$scratch/card.img" expected="$scratch/card.img.expected"
VELVORA_MAKE_PHOTO="$make_photo" bash "$source_dir/scripts/make-sample-card.sh" "$card" >/dev/null
mapfile -t deleted < "$expected/deleted.txt"
n=${#deleted[@]}
summary="$("$usr/bin/velvora-scan" "$card" "$scratch/out")" || fail "scan exit status $?"
[[ "$summary" == "found=$n written=$n failed=0 unreadable_bytes=0 renamed=0 partial=0 present=0 named=$n damaged=0"* ]] ||
    fail "scan: $summary"
for path in "${deleted[@]}"; do
    name="${path##*/}"
    [[ "$name" == beach.jpg ]] && name=_each.jpg
    cmp -s "$scratch/out/$name" "$expected/deleted/${path##*/}" || fail "$name is not $path"
done

# The menu entry starts the window; its metadata has the entry's name as id.
desktop="$(echo "$usr"/share/applications/*.desktop)" id="$(basename "$desktop" .desktop)"
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
grep -qx "Exec=velvora-recovery" "$desktop" || fail "the menu entry does not start velvora-recovery"
metainfo="$usr/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli validate $metainfo"
grep -q "<id>$id</id>" "$metainfo" && grep -q ">$id.desktop</launchable>" "$metainfo" ||
    fail "$metainfo does not describe $id.desktop"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
for size in scalable 256x256 128x128 64x64 48x48 32x32; do
    compgen -G "$usr/share/icons/hicolor/$size/apps/$icon.*" >/dev/null || fail "no $size icon $icon"
done

for page in velvora-scan velvora-recovery; do
    file="$usr/share/man/man1/$page.1.gz"
    warnings="$(man --warnings -l -Tutf8 "$file" 2>&1 >/dev/null)" && [[ -z "$warnings" ]] ||
        fail "man $page(1): $warnings"
    [[ "$(man -l -Tutf8 "$file" 2>/dev/null | col -b)" == *$'\nNAME\n       '"$page - "* ]] ||
        fail "$page(1) has no NAME section naming it"
done

copyright="$usr/share/doc/velvora-recovery/copyright"
[[ "$(head -1 "$copyright")" == Format:* ]] && grep -q "^License: Apache-2.0" "$copyright" ||
    fail "the copyright file is not a machine-readable one giving Apache-2.0"
[[ -f "$usr/share/doc/velvora-recovery/changelog.gz" ]] || fail "no changelog.gz"

((failures == 0)) && echo "${debs[0]##*/} installs and runs from a scratch root"
