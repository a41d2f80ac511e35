#!/usr/bin/env bash
# Installs, with apt-get, whatever a fresh Debian machine lacks to build the
# library, its tests, benchmarks and programs. Does nothing when all is there.
#
#   tools/install_dependencies.sh        # build, test, run the programs
#   tools/install_dependencies.sh --ci   # also what continuous integration
#                                        # adds: clang and libFuzzer, valgrind,
#                                        # Dask and GNU parallel for the examples
set -euo pipefail

packages=(cmake g++ make pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev
          libsndfile1-dev libsoxr-dev python3-numpy python3-pytest)
if [ "${1:-}" = "--ci" ]; then
  packages+=(clang libclang-rt-dev valgrind python3-dask python3-distributed parallel)
fi

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
