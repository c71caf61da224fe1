#!/usr/bin/env bash
# Installs every Debian package the project needs and builds the Open vSwitch library into a cache
# directory outside the source tree. Safe to run again: it installs only what is missing and reuses
# a library that is already built.
set -euo pipefail
# Progress goes to standard error; standard output carries only the final OVS_PREFIX=... line for the callers.
exec 3>&1 1>&2

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config python3 clang-format
  libboost-dev libboost-thread-dev libboost-system-dev libboost-chrono-dev libboost-filesystem-dev
  libboost-iostreams-dev libboost-date-time-dev
  libprotobuf-dev protobuf-compiler zlib1g-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libjemalloc-dev  # the agent's allocator
  openvswitch-source openvswitch-common
  systemd  # systemd-analyze checks the units of config/systemd/ in the tests
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# The Open vSwitch library: built once from Debian's source tarball, kept outside the tree.
OVS_CACHE="${QOR_DEPS_CACHE:-${HOME:-/root}/.cache/vevuroro}/ovs"
OVS_STAMP="$OVS_CACHE/.built"
if [ ! -f "$OVS_STAMP" ]; then
  tarball=$(ls /usr/src/openvswitch/openvswitch.tar.* /usr/src/openvswitch.tar.* 2>/dev/null | head -n1 || true)
  if [ -z "$tarball" ]; then
    echo "setup: openvswitch-source tarball not found under /usr/src" >&2
    exit 1
  fi
  echo "setup: building the Open vSwitch library into $OVS_CACHE (takes a few minutes)"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  tar -xf "$tarball" -C "$work"
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
  (
    cd "$src"
    [ -x configure ] || ./boot.sh
    ./configure --quiet --enable-static --disable-shared --disable-ssl --disable-libcapng --disable-afxdp \
      CFLAGS="-O2 -g -fPIC" >/dev/null
    # Generated headers first (automake builds them only for 'all'), then the library alone.
    built=$(make -s --no-print-directory --eval='qor-print-built: ; @echo $(BUILT_SOURCES)' qor-print-built)
    make -s -j"$(nproc)" $built >/dev/null
    make -s -j"$(nproc)" lib/libopenvswitch.la >/dev/null
  )
  rm -rf "$OVS_CACHE"
  mkdir -p "$OVS_CACHE/lib" "$OVS_CACHE/include"
  cp "$src/lib/.libs/libopenvswitch.a" "$OVS_CACHE/lib/"
  # Public headers, the library's internal headers and the generated ones (dirs.h, vswitch-idl.h, ...).
  cp -r "$src/include/." "$OVS_CACHE/include/"
  mkdir -p "$OVS_CACHE/include/lib"
  (cd "$src/lib" && find . -name '*.h' -exec cp --parents {} "$OVS_CACHE/include/lib/" \;)
  cp "$src/config.h" "$OVS_CACHE/include/"
  touch "$OVS_STAMP"
  echo "setup: Open vSwitch library ready"
fi
echo "OVS_PREFIX=$OVS_CACHE" >&3
