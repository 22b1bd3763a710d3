#!/bin/sh
# Builds twk-hook and the reference Core, then runs one sample pre-tool-use
# event through the hook, as the agent host would. The hook starts Core on
# demand; the demo keeps its state in build/demo-state, not in your home.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

echo "demo: building (release)"
cmake --preset release >/dev/null
cmake --build --preset release

state="$PWD/build/demo-state"
mkdir -p "$state"
event='{"session_id":"demo","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"ls -la","description":"List files"},"cwd":"'"$PWD"'"}'

echo "demo: event on stdin:"
echo "  $event"
echo "demo: running: twk-hook claude-code pre-tool-use"
start=$(date +%s%N)
out=$(printf '%s' "$event" | TARNWICK_HOME="$state" TWK_CORE_IDLE_EXIT_SECONDS=60 \
  ./build/release/twk-hook claude-code pre-tool-use)
end=$(date +%s%N)
echo "demo: exit status 0, $(( (end - start) / 1000000 )) ms"
if [ -z "$out" ]; then
  echo "demo: output: (none: Core made no decision, so the host's own rules apply)"
else
  echo "demo: output: $out"
fi
echo "demo: Core's log: $state/logs/backend.log"
