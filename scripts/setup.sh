#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, and only when run as root; otherwise names what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopenimageio-dev openimageio-tools libopenexr-dev libimath-dev
  libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core
  clang libclang-rt-14-dev
  python3-pybind11 python3-numpy python3-pytest python3-openimageio
  slurm-wlm munge
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing Debian packages: ${missing[*]}" >&2
  echo "setup: run 'make setup' as root, or install them with apt-get" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
