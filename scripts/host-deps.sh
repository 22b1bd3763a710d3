#!/bin/sh
# Installs what the tests with the real agent host need: iproute2 (for a
# loopback-only network namespace), Node.js and npm (Debian packages, only
# when missing), and the pinned host package from npm into a cache
# directory: $TWK_HOST_CACHE, or build/host-e2e. Safe to run again: an
# install of the right version is left alone.
set -eu
cd "$(dirname "$0")/.."

HOST_PACKAGE="@anthropic-ai/claude-code"
HOST_VERSION="2.1.337"
cache="${TWK_HOST_CACHE:-$PWD/build/host-e2e}"
binary="$cache/node_modules/@anthropic-ai/claude-code-linux-x64/claude"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=""
command -v ip >/dev/null 2>&1 || missing="$missing iproute2"
command -v unshare >/dev/null 2>&1 || missing="$missing util-linux"
command -v nsenter >/dev/null 2>&1 || missing="$missing util-linux"
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
  echo "host-deps: installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

if [ -x "$binary" ] && "$binary" --version 2>/dev/null | grep -q "^$HOST_VERSION "; then
  echo "host-deps: $HOST_PACKAGE $HOST_VERSION is installed in $cache"
  exit 0
fi

# The executable comes from the package's per-platform optional dependency;
# the package's own install script only links it into place, so it is not
# run.
echo "host-deps: installing $HOST_PACKAGE@$HOST_VERSION into $cache"
mkdir -p "$cache"
npm install --prefix "$cache" --no-audit --no-fund --ignore-scripts \
  --loglevel=error "$HOST_PACKAGE@$HOST_VERSION"

if ! [ -x "$binary" ]; then
  echo "host-deps: the install left no executable at $binary" >&2
  exit 1
fi
"$binary" --version
