#!/bin/sh
# Installs the Debian packages that building and testing need, skipping the
# ones already present. Safe to run again and again.
set -eu

# clang-14 only recommends libclang-rt-14-dev, which holds libFuzzer and the
# sanitizer runtimes that the fuzz preset links.
packages="g++ clang clang-14 libclang-rt-14-dev cmake ninja-build pkg-config nlohmann-json3-dev libgtest-dev python3 libyaml-cpp-dev libre2-dev libbenchmark-dev lintian"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  echo "deps: all build packages are installed"
  exit 0
fi

echo "deps: installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
