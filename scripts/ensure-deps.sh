#!/usr/bin/env bash
# Checks that the build tools are present; installs the missing ones with apt-get as root,
# otherwise prints the apt-get line to run and exits 1.
set -euo pipefail

packages=()
need() { # need COMMAND-OR-FILE PACKAGE
  case "$1" in
    /*) [ -e "$1" ] || packages+=("$2") ;;
    *) command -v "$1" >/dev/null 2>&1 || packages+=("$2") ;;
  esac
}
need cmake cmake
need g++ g++
need ninja ninja-build
need /usr/include/gtest/gtest.h libgtest-dev
need /usr/include/gmock/gmock.h libgmock-dev
for extra in ${QUODEM_EXTRA_PACKAGES:-}; do
  dpkg -s "$extra" >/dev/null 2>&1 || packages+=("$extra")
done

[ ${#packages[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${packages[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq "${packages[@]}" >&2
else
  echo "Missing build tools. Install them with:" >&2
  echo "  sudo apt-get install -y ${packages[*]}" >&2
  exit 1
fi
