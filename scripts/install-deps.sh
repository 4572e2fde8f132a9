#!/usr/bin/env bash
# Installs the Debian packages the build needs when run as root; otherwise
# names the missing ones and stops.
set -euo pipefail

packages=(g++ cmake ninja-build make zlib1g-dev libssl-dev libgtest-dev libbenchmark-dev libcli11-dev
          libdeflate-dev libisal-dev libcurl4-openssl-dev nginx-light
          python3 python3-dev pybind11-dev python3-numpy python3-pytest python3-dask python3-distributed
          python3-pandas help2man dpkg-dev pkg-config)
if [[ "${1:-}" == "--windows" ]]; then
  # libgnutls30 is only recommended by Wine, but its bcrypt needs it for AES;
  # CLI11 is header-only, so the host's headers serve the cross build.
  packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest
            libcli11-dev wine wine64 libgnutls30 cmake ninja-build make)
fi

if [[ "${1:-}" == "--packaging" ]]; then
  # lintian for the packages; venv, pip, setuptools, wheel and build for the
  # Python module installed the usual way (tests/packages/pip_install.sh).
  packages=(lintian dpkg-dev python3-venv python3-pip python3-setuptools python3-wheel python3-build
            python3-dev pybind11-dev cmake ninja-build)
fi

if [[ "${1:-}" == "--s3" ]]; then
  # The S3-compatible store the remote-file tests start on 127.0.0.1: s3rver
  # from the npm registry, installed once under /usr/local/lib/veld-s3rver.
  # Debian's nodejs leaves npm to a package of its own; other builds of nodejs bring it.
  packages=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

if [[ "${1:-}" == "--fuzz" ]]; then
  # libFuzzer and the sanitizer runtimes come with clang's runtime package;
  # the seeds are made by a Python script from files the veld program packs.
  packages=(clang-14 libclang-rt-14-dev python3 cmake ninja-build make zlib1g-dev libssl-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
s3rver_missing() {
  [[ "${1:-}" == "--s3" && ! -x /usr/local/lib/veld-s3rver/node_modules/.bin/s3rver ]]
}
[[ ${#missing[@]} -eq 0 ]] && ! s3rver_missing "${1:-}" && exit 0

if [[ $(id -u) -eq 0 ]]; then
  export DEBIAN_FRONTEND=noninteractive
  if [[ ${#missing[@]} -gt 0 ]]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  if s3rver_missing "${1:-}"; then
    echo "installing: s3rver (npm)"
    npm install --prefix /usr/local/lib/veld-s3rver --no-audit --no-fund --silent s3rver@3
  fi
else
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
