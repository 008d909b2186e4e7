#!/usr/bin/env bash
# Installs, with apt-get, whatever a fresh Debian 12 machine lacks to build
# Velvora Recovery, make the sample card and run every test.
# Used by ./run.sh and ./test.sh; safe to run again (installs only what is missing).
set -euo pipefail

# One package per line; append what your part needs.
packages=(
    cmake
    g++
    make
    pkg-config
    qt6-base-dev
    libgl-dev
    zlib1g-dev
    libisal-dev
    libblkid-dev
    dosfstools
    mtools
    libjpeg-turbo-progs
    libjpeg62-turbo-dev
    libtsk-dev
    libimage-exiftool-perl
    exfat-fuse
    exfatprogs
    fuse3
    util-linux
    mount
    xvfb
    openbox
    xauth
    dbus
    scdoc
    dpkg-dev
    file
    man-db
    desktop-file-utils
    appstream
    libavformat-dev
    libavcodec-dev
    libswscale-dev
    libavutil-dev
    libheif-dev
    ffmpeg
    libheif-examples
)

is_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

missing=()
for package in "${packages[@]}"; do
    is_installed "$package" || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing: ${missing[*]}" >&2
as_root=()
if ((EUID != 0)); then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "setup: these packages are missing and sudo is not available: ${missing[*]}" >&2
        echo "setup: install them as root: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
