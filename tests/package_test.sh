#!/bin/sh
# The Debian package, end to end: build it with CPack, unpack it into a
# temporary root (never into the system), check its files, and run the
# packaged twk-hook, which must start the packaged twk-backend beside it and
# print the built-in policy's deny for `rm -rf ~`.
#
#   sh tests/package_test.sh BUILD_DIR
set -eu

build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/twk-package-test-XXXXXX")
state="$work/state"
mkdir -p "$state"

cleanup() {
  # The Core the hook started, found by its endpoint record.
  if [ -f "$state/endpoint.json" ]; then
    pid=$(sed -n 's/.*"pid":\([0-9]*\).*/\1/p' "$state/endpoint.json")
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package test: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$work"/pkg/*.deb
[ -f "$1" ] || fail "cpack made no .deb"
deb=$1

dpkg-deb --contents "$deb" >"$work/contents"
for f in ./usr/bin/twk-hook ./usr/bin/twk-backend \
         ./usr/share/twk/policy.example.yaml ./usr/share/twk/claude-settings.json \
         ./usr/share/man/man1/twk-hook.1.gz ./usr/share/man/man1/twk-backend.1.gz \
         ./usr/share/doc/twk/copyright ./usr/share/doc/twk/changelog.gz; do
  grep -q " $f\$" "$work/contents" || fail "$f is not in the package"
done
[ "$(dpkg-deb --field "$deb" Package)" = twk ] || fail "wrong package name"

# Debian's own checks: no errors and no warnings (the static linking is a
# documented override).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian found problems"; }
fi

dpkg -x "$deb" "$work/root"
grep -q '"command": "/usr/bin/twk-hook claude-code pre-tool-use"' \
  "$work/root/usr/share/twk/claude-settings.json" ||
  fail "the settings snippet doesn't name /usr/bin/twk-hook"

# The shipped example is a valid policy.
"$work/root/usr/bin/twk-backend" check "$work/root/usr/share/twk/policy.example.yaml" \
  >/dev/null || fail "twk-backend check rejects the shipped example"

event='{"session_id":"pkg","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"rm -rf ~"}}'
out=$(printf '%s' "$event" |
  env -i PATH=/usr/bin:/bin HOME="$state" TARNWICK_HOME="$state" \
    "$work/root/usr/bin/twk-hook" claude-code pre-tool-use)
case $out in
  *'"permissionDecision":"deny"'*) ;;
  *) fail "expected a deny from the packaged hook, got: $out" ;;
esac
# The Core that answered is the packaged one.
pid=$(sed -n 's/.*"pid":\([0-9]*\).*/\1/p' "$state/endpoint.json")
[ "$(readlink "/proc/$pid/exe")" = "$work/root/usr/bin/twk-backend" ] ||
  fail "the Core that answered isn't the packaged twk-backend"
echo "package test: $(basename "$deb") installs and denies rm -rf ~"
