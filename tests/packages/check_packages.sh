#!/usr/bin/env bash
# Makes the Debian packages of a build, unpacks them into a scratch root with
# dpkg -x, and builds the consumer program against what they hold twice:
# with CMake's find_package(veld) and with pkg-config. Both programs, the
# packaged veld program and the packaged Python module then run from there.
# Usage: check_packages.sh BUILD_DIR SOURCE_DIR PYTHON
set -euo pipefail
build=$1 source=$2 python=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
root=$work/root
names=()
for deb in "$work"/debs/*.deb; do
  dpkg -x "$deb" "$root"
  names+=("$(dpkg-deb -f "$deb" Package)")
done
echo "packages: ${names[*]}"
[[ "${names[*]}" == "libveld-dev libveld0 python3-veld veld" ]] ||
  { echo "not the four packages expected"; exit 1; }
# Fields are read whole before they are matched: grep -q stopping early would
# let pipefail fail the check on a SIGPIPE of dpkg-deb.
for deb in "$work"/debs/{libveld-dev,python3-veld,veld}_*.deb; do
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *"libveld0 (= "* ]] || { echo "$deb does not depend on libveld0"; exit 1; }
done
depends=$(dpkg-deb -f "$work"/debs/libveld0_*.deb Depends)
[[ $depends == *zlib1g* ]] || { echo "libveld0 does not depend on zlib1g"; exit 1; }
# Each package says what it is in a synopsis of its own.
synopses=$(for deb in "$work"/debs/*.deb; do description=$(dpkg-deb -f "$deb" Description); echo "${description%%$'\n'*}"; done)
[[ $(sort -u <<<"$synopses" | wc -l) -eq ${#names[@]} ]] ||
  { echo "packages share a synopsis:"; echo "$synopses"; exit 1; }

usr=$root/usr
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$usr/lib/$triplet
for f in lib/$triplet/libveld.so.0 lib/$triplet/libveld.so include/veld/veld.h \
         lib/$triplet/cmake/veld/veldConfig.cmake lib/$triplet/pkgconfig/veld.pc bin/veld \
         share/man/man1/veld.1.gz lib/python3/dist-packages/veld/__init__.py; do
  [[ -e $usr/$f ]] || { echo "missing from the packages: /usr/$f"; exit 1; }
done
# Nothing of the library outside the multiarch directory.
if compgen -G "$usr/lib/libveld*" >/dev/null; then
  echo "the library is in /usr/lib, not /usr/lib/$triplet"; exit 1
fi
for name in "${names[@]}"; do
  for f in copyright changelog.gz; do
    [[ -s $usr/share/doc/$name/$f ]] || { echo "$name has no /usr/share/doc/$name/$f"; exit 1; }
  done
done
export LD_LIBRARY_PATH=$libdir

echo "== headers"
# Users' include path gets the prefix's include directory only, so every
# installed header must compile there on its own as <veld/name.h>.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
cflags=$(pkg-config --cflags veld)
read -ra flags <<<"$cflags"
[[ ${#flags[@]} -eq 1 && ${flags[0]} == -I* && $(realpath "${flags[0]#-I}") == "$(realpath "$usr/include")" ]] ||
  { echo "pkg-config --cflags veld gives '$cflags', not the prefix's include directory alone"; exit 1; }
headers=0
for header in "$usr"/include/veld/*.h; do
  printf '#include <veld/%s>\n' "${header##*/}" >"$work/one_header.cpp"
  # shellcheck disable=SC2086  # the flags are words
  "${CXX:-c++}" -std=c++20 -fsyntax-only $cflags "$work/one_header.cpp" ||
    { echo "<veld/${header##*/}> does not compile on its own"; exit 1; }
  headers=$((headers + 1))
done
echo "$headers headers compile on their own"

echo "== CMake"
cmake -S "$source/tests/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/veld_consumer" "$work/cmake.dat"

echo "== pkg-config"
# shellcheck disable=SC2046  # the flags are words
"${CXX:-c++}" -std=c++20 "$source/tests/consumer/main.cpp" -o "$work/pc_consumer" $(pkg-config --cflags --libs veld)
"$work/pc_consumer" "$work/pc.dat"
cmp "$work/cmake.dat" "$work/pc.dat"

echo "== program and Python module"
"$usr/bin/veld" verify "$work/pc.dat"
PYTHONPATH=$usr/lib/python3/dist-packages "$python" -c '
import sys, veld
assert veld.__file__.startswith(sys.argv[1]), veld.__file__
print("python:", veld.info(sys.argv[2])["case_bytes"], "bytes of case data")' "$usr" "$work/pc.dat"
