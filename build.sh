#!/usr/bin/env bash
# Build and run Quodem.
#
#   ./build.sh run    build, then run the main job (the demo: two processes call each other)
#   ./build.sh test   build, then run every test
#
# Missing build tools are installed with apt-get when running as root; otherwise the exact
# apt-get line is printed and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

bash scripts/ensure-deps.sh

configure() {
  cmake -S . -B "$BUILD_DIR" -G "$(command -v ninja >/dev/null && echo Ninja || echo 'Unix Makefiles')" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

case "${1:-}" in
  run)
    configure
    cmake --build "$BUILD_DIR" -j "$JOBS"
    shift
    if [ -x "$BUILD_DIR/tool/quodem" ]; then
      exec "$BUILD_DIR/tool/quodem" demo "$@"
    else
      exec "$BUILD_DIR/examples/platform_demo" "$@"
    fi
    ;;
  test)
    shift
    configure "$@"
    cmake --build "$BUILD_DIR" -j "$JOBS"
    ctest --test-dir "$BUILD_DIR" -j "$JOBS" --output-on-failure
    ;;
  *)
    echo "usage: ./build.sh run | test" >&2
    exit 2
    ;;
esac
