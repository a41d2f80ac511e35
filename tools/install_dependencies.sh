#!/usr/bin/env bash
# Installs, with apt-get, whatever a fresh Debian machine lacks to build the
# library, its tests, benchmarks and programs. Does nothing when all is there.
#
#   tools/install_dependencies.sh        # build, test, run the programs
#   tools/install_dependencies.sh --ci   # also what continuous integration
#                                        # adds: clang and libFuzzer, valgrind,
#                                        # Dask and GNU parallel for the examples
#   tools/install_dependencies.sh --cross  # the Windows and ARM32 cross
#                                        # builds: mingw-w64 and wine, the armhf
#                                        # toolchain and qemu-user, GoogleTest's
#                                        # sources (options may be combined)
set -euo pipefail

packages=(cmake g++ make pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev
          libsndfile1-dev libsoxr-dev python3-numpy python3-pytest
          libwebrtc-audio-processing-dev)  # the detector's benchmark against WebRTC's voice detector
for option in "$@"; do
  case $option in
    --ci) packages+=(clang libclang-rt-dev valgrind python3-dask python3-distributed parallel) ;;
    --cross) packages+=(googletest g++-mingw-w64-x86-64-posix wine wine64
                        g++-arm-linux-gnueabihf libc6-armhf-cross libstdc++6-armhf-cross qemu-user) ;;
    *) echo "usage: $0 [--ci] [--cross]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
