#!/bin/sh
# What a user would write instead of the hook, as a shell one-liner: wrap the
# event into the request body unchecked and let curl POST it to Core.
#
#   curl_forwarder.sh <hook> <url> <token>
#
# "Expect:" stops curl from waiting for a 100-continue on large bodies.
{ printf '{"agent":"claude-code","context":{},"hook":"%s","input":' "$1"; cat; printf '}'; } |
  curl -sS -X POST --data-binary @- -H 'Expect:' -H 'Content-Type: application/json' \
    -H "Authorization: Bearer $3" "$2/v1/policy/hook"
