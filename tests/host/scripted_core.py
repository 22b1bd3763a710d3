#!/usr/bin/python3
"""A Core with two fixed rules, for the tests in which the agent host runs
the hook.

The hook starts it as it starts any Core:

  scripted_core.py --host 127.0.0.1 --port N --idle-exit S

with TWK_ENDPOINT_FILE in its environment. It binds the port, writes the
endpoint record (its own pid, a fresh token, the URL) and answers:

  GET /health            200
  POST /v1/policy/hook   (bearer token required) for pre-tool-use: deny
                         when the Bash command contains "rm -rf", with
                         DENY_REASON as the reason, and allow otherwise;
                         for every other hook: no decision

Every request body it accepts is appended, as one JSON line, to
scripted-core-events.jsonl beside the endpoint record, and "started: pid N"
goes to standard output (the hook appends that to Core's log). It exits after
S seconds without a request.

The interpreter line names python3 by its absolute path on purpose: the hook
trusts a record only when the recorded process runs the interpreter of this
script's "#!" line, so this process must stay that interpreter and start
nothing else.
"""

import http.server
import json
import os
import secrets
import sys
import threading
import time

DENY_REASON = "scripted Core: recursive deletion is not allowed here"
ALLOW_REASON = "scripted Core: allowed"
EVENTS_NAME = "scripted-core-events.jsonl"


def decide(request):
    if request.get("hook") != "pre-tool-use":
        return None
    tool_input = request.get("input", {}).get("tool_input", {})
    command = tool_input.get("command", "") if isinstance(tool_input, dict) else ""
    if "rm -rf" in command:
        decision, reason = "deny", DENY_REASON
    else:
        decision, reason = "allow", ALLOW_REASON
    return {"hookSpecificOutput": {"hookEventName": "PreToolUse",
                                   "permissionDecision": decision,
                                   "permissionDecisionReason": reason}}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, payload):
        data = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def do_GET(self):
        self.server.touch()
        if self.path == "/health":
            self.answer(200, {"ok": True})
        else:
            self.answer(404, {"error": "not found"})

    def do_POST(self):
        self.server.touch()
        if self.path != "/v1/policy/hook":
            self.answer(404, {"error": "not found"})
            return
        if self.headers.get("Authorization") != "Bearer " + self.server.token:
            self.answer(401, {"error": "bad token"})
            return
        raw = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        try:
            request = json.loads(raw)
        except ValueError:
            self.answer(400, {"error": "not JSON"})
            return
        with self.server.events_lock, open(self.server.events_path, "a", encoding="utf-8") as f:
            f.write(json.dumps(request) + "\n")
        self.answer(200, {"output": decide(request)})


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def touch(self):
        self.last_request = time.monotonic()


def main():
    args = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    host = args.get("--host", "127.0.0.1")
    port = int(args.get("--port", "0"))
    idle_exit = int(args.get("--idle-exit", "60"))
    record_path = os.environ["TWK_ENDPOINT_FILE"]

    server = Server((host, port), Handler)
    server.token = secrets.token_hex(16)
    server.events_path = os.path.join(os.path.dirname(record_path), EVENTS_NAME)
    server.events_lock = threading.Lock()
    server.touch()

    record = {"pid": os.getpid(), "token": server.token,
              "url": "http://%s:%d" % (host, server.server_address[1])}
    tmp = "%s.%d.tmp" % (record_path, os.getpid())
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(record, f)
    os.replace(tmp, record_path)
    print("started: pid %d, %s" % (os.getpid(), record["url"]), flush=True)

    def watch_idle():
        while time.monotonic() - server.last_request < idle_exit:
            time.sleep(0.5)
        print("stopping: idle", flush=True)
        os._exit(0)

    threading.Thread(target=watch_idle, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
