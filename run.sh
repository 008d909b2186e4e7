#!/usr/bin/env bash
# Installs what is missing, builds Velvora Recovery in Release, makes the bundled
# sample card if it is not there yet, and recovers its deleted photos into
# ./recovered with the headless scanner.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

scripts/setup-debian.sh

build_dir=build-release
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" -j"$(nproc)"

card=samples/sample-card.img
if [[ ! -f "$card" ]]; then
    echo "Making the sample card $card" >&2
    VELVORA_MAKE_PHOTO="$build_dir/bin/velvora-make-photo" scripts/make-sample-card.sh "$card"
fi

# The card image is not mounted: the scanner reads its file system itself, so
# the photos still on it as files are not written again, and the deleted ones
# come back under their own names.
echo "Scanning $card into ./recovered" >&2
status=0
"$build_dir/bin/velvora-scan" "$card" ./recovered || status=$?
case $status in
    0) echo "Recovered photos are in ./recovered" >&2 ;;
    1) echo "Some photos could not be written to ./recovered" >&2 ;;
    *) echo "The scan could not run (exit $status)" >&2 ;;
esac
exit $status
