#!/usr/bin/env python3
"""What a user would write instead of the hook, in Python: read the event,
parse it, write the same canonical request body (compact, keys sorted,
non-ASCII as it is), POST it to Core and print Core's "output".

    TWK_ENDPOINT_FILE=... python_forwarder.py <agent> <hook>
"""
import json
import os
import sys
import urllib.request


def main():
    agent, hook = sys.argv[1], sys.argv[2]
    event = json.loads(sys.stdin.buffer.read())
    with open(os.environ["TWK_ENDPOINT_FILE"], "rb") as f:
        record = json.load(f)
    body = json.dumps(
        {"agent": agent, "context": {}, "hook": hook, "input": event},
        sort_keys=True, separators=(",", ":"), ensure_ascii=False,
    ).encode("utf-8")
    request = urllib.request.Request(
        record["url"] + "/v1/policy/hook", data=body, method="POST",
        headers={"Content-Type": "application/json",
                 "Authorization": "Bearer " + record["token"]})
    with urllib.request.urlopen(request, timeout=8) as reply:
        answer = json.loads(reply.read())
    output = answer.get("output")
    if output is not None and hook == "pre-tool-use":
        print(json.dumps(output, sort_keys=True, separators=(",", ":"),
                         ensure_ascii=False))


if __name__ == "__main__":
    main()
