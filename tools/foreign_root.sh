#!/usr/bin/env bash
# Debian 12's CPython 3.11 for another architecture, unpacked into a folder
# that qemu-user runs it from, with pytest and hypothesis beside it:
#   tools/foreign_root.sh DEB_ARCH DIR      (DEB_ARCH: arm64 or s390x)
# gives DIR/root (run: qemu-<arch>-static -L DIR/root DIR/root/usr/bin/python3.11;
# its headers, pyconfig.h included, under DIR/root/usr/include) and DIR/site.
# apt works from a private state in DIR/apt with Debian's own archive and
# keyring: the machine's apt configuration and architectures stay as they are.
set -euo pipefail
arch="$1"
dir="$2"
case "$arch" in arm64) pip_arch=aarch64 ;; s390x) pip_arch=s390x ;; *) echo "foreign_root: unknown arch $arch" >&2; exit 2 ;; esac
[ -x "$dir/root/usr/bin/python3.11" ] && [ -d "$dir/site/pytest" ] && exit 0
rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/debs" "$dir/root"
dir=$(cd "$dir" && pwd)
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$dir/apt/sources.list" <<SOURCES
deb [arch=$arch signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb [arch=$arch signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main
SOURCES
apt_opts=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
          -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache"
          -o "APT::Architectures::=$arch" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get -qq "${apt_opts[@]}" update
# The interpreter, its standard library and headers, and the libraries they load.
packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev libc6 libgcc-s1
          libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libcrypt1 libuuid1 libncursesw6 libtinfo6
          libreadline8 libsqlite3-0 libdb5.3 libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3
          libcom-err2 libkrb5support0 libkeyutils1)
(cd "$dir/debs" && apt-get -qq "${apt_opts[@]}" download "${packages[@]/%/:$arch}" media-types)
for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
python3 -m pip install -q --target "$dir/site" --platform "manylinux2014_$pip_arch" --python-version 3.11 \
    --only-binary=:all: pytest hypothesis
