#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, and only when run as root; otherwise names what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopenimageio-dev openimageio-tools libopenexr-dev libimath-dev
  libcli11-dev nlohmann-json3-dev libxxhash-dev libmuparser-dev
  libopencolorio-dev opencolorio-tools python3-pyopencolorio
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core
  clang libclang-rt-14-dev
  python3-pybind11 python3-numpy python3-pytest python3-openimageio
  slurm-wlm munge
  libcpp-httplib-dev chromium chromium-driver python3-selenium
)

# The studio page is built with npm; a machine without Node.js gets Debian's.
if ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing Debian packages: ${missing[*]}" >&2
    echo "setup: run 'make setup' as root, or install them with apt-get" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The studio page's npm packages, at the versions its lockfile pins. The
# build only bundles them; nothing is downloaded after this step.
web="$(cd "$(dirname "$0")/.." && pwd)/web"
if [ -f "$web/package-lock.json" ] &&
   { [ ! -f "$web/node_modules/.package-lock.json" ] ||
     [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; }; then
  echo "setup: installing the studio page's npm packages"
  npm ci --prefix "$web" --no-audit --no-fund
fi
