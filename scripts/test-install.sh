#!/usr/bin/env bash
# Installs Quodem into a temporary prefix and uses it as a user would: builds
# tests/install/consumer with find_package(Quodem) and runs it, compiles the same program
# with `pkg-config --cflags --libs quodem` and runs it, and runs the installed tool.
#
#   scripts/test-install.sh [BUILD_DIR]
#
# BUILD_DIR: an existing build folder to install from (it is brought up to date); without
# one, or when it was built with sanitizers, the script configures its own in the temporary
# folder. Everything it creates is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quodem-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
step() { echo "=== $*"; }

if ! command -v pkg-config >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config >&2 ||
      { apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config >&2; }
  else
    echo "pkg-config is missing; install it with: sudo apt-get install -y pkg-config" >&2
    exit 1
  fi
fi

build=${1:-}
if [ -n "$build" ] && grep -q '^QUODEM_SANITIZE:STRING=.\+' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$build is built with sanitizers; using a build of its own" >&2
  build=
fi
if [ -z "$build" ]; then
  build="$work/build"
  step "configure $build"
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUODEM_BUILD_TESTS=OFF >/dev/null
fi
step "build"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target quodem quodem_shared quodem_tool
prefix="$work/prefix"
step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name libquodem.a | head -n 1)")
for file in "$libdir/libquodem.a" "$libdir/libquodem.so" "$libdir/libquodem.so.1" \
  "$libdir/libquodem.so.1.0.0" "$libdir/pkgconfig/quodem.pc" \
  "$libdir/cmake/Quodem/QuodemConfig.cmake" "$prefix/include/quodem/component/quodem.h" \
  "$prefix/bin/quodem"; do
  [ -e "$file" ] || { echo "not installed: $file" >&2; exit 1; }
done

# The programs below start a telephony session: give them a private exchange and no
# configuration, so the default lines are listed whatever the user has set up.
export QUODEM_EXCHANGE_DIR="$work/exchange"
export QUODEM_CONFIG="$work/no-lines.conf"

step "consumer with find_package(Quodem)"
cmake -S "$root/tests/install/consumer" -B "$work/consumer" "${generator[@]}" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

step "consumer with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/pc-consumer" "$root/tests/install/consumer/main.cpp" \
  $(pkg-config --cflags --libs quodem)
LD_LIBRARY_PATH="$libdir" "$work/pc-consumer"
[ "$(pkg-config --modversion quodem)" = "1.0.0" ] || { echo "wrong pkg-config version" >&2; exit 1; }

step "installed tool"
"$prefix/bin/quodem" --version
"$prefix/bin/quodem" lines

echo "install test passed"
