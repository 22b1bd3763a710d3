#!/usr/bin/env python3
"""A stand-in for the model API that the agent host talks to.

It answers on 127.0.0.1 only, like this:

  HEAD /, GET /        200 with an empty body (the host's reachability probe)
  POST /v1/messages    when the request offers tools and carries no
                       tool_result yet: the tool_use blocks of the script;
                       otherwise one text block. Streamed as server-sent
                       events when the request asks for a stream, else one
                       JSON message.
  POST /v1/messages/count_tokens   a small fixed count

The script is a JSON file:

  {"tool_uses": [{"name": "Bash", "input": {"command": "...", ...}}, ...],
   "final_text": "..."}

Every request is appended to the log as one JSON line
{"method", "path", "body"} (body parsed when it is JSON), so that a test can
read what the host sent back, the tool_result blocks above all.

  mock_model.py --script FILE --log FILE --port-file FILE

The chosen port is written to the port file (atomically) once the server is
listening. The server runs until it is sent SIGTERM or SIGINT.
"""

import argparse
import http.server
import itertools
import json
import os
import signal
import sys
import threading

_ids = itertools.count(1)
_log_lock = threading.Lock()


def has_tool_result(body):
    for message in body.get("messages", []):
        content = message.get("content")
        if isinstance(content, list):
            for block in content:
                if isinstance(block, dict) and block.get("type") == "tool_result":
                    return True
    return False


def offers_tool(body, name):
    return any(isinstance(t, dict) and t.get("name") == name for t in body.get("tools", []))


def reply_blocks(script, body):
    """The content blocks of the answer to one request, and its stop reason."""
    uses = script.get("tool_uses", [])
    if uses and not has_tool_result(body) and all(offers_tool(body, u["name"]) for u in uses):
        blocks = [{"type": "tool_use", "id": "toolu_mock_%04d" % next(_ids),
                   "name": u["name"], "input": u["input"]} for u in uses]
        return blocks, "tool_use"
    return [{"type": "text", "text": script.get("final_text", "Done.")}], "end_turn"


def sse(event, data):
    return ("event: %s\ndata: %s\n\n" % (event, json.dumps(data))).encode()


def stream_events(message_id, model, blocks, stop_reason):
    yield sse("message_start", {"type": "message_start", "message": {
        "id": message_id, "type": "message", "role": "assistant", "model": model,
        "content": [], "stop_reason": None, "stop_sequence": None,
        "usage": {"input_tokens": 10, "output_tokens": 1}}})
    for index, block in enumerate(blocks):
        if block["type"] == "tool_use":
            start = {"type": "tool_use", "id": block["id"], "name": block["name"], "input": {}}
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        else:
            start = {"type": "text", "text": ""}
            delta = {"type": "text_delta", "text": block["text"]}
        yield sse("content_block_start",
                  {"type": "content_block_start", "index": index, "content_block": start})
        yield sse("content_block_delta",
                  {"type": "content_block_delta", "index": index, "delta": delta})
        yield sse("content_block_stop", {"type": "content_block_stop", "index": index})
    yield sse("message_delta", {"type": "message_delta",
                                "delta": {"stop_reason": stop_reason, "stop_sequence": None},
                                "usage": {"output_tokens": 20}})
    yield sse("message_stop", {"type": "message_stop"})


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "mock-model"

    def log_message(self, fmt, *args):  # keep stderr quiet
        pass

    def record(self, body):
        line = json.dumps({"method": self.command, "path": self.path, "body": body})
        with _log_lock, open(self.server.log_path, "a", encoding="utf-8") as f:
            f.write(line + "\n")

    def send_plain(self, status, payload=None, content_type="application/json"):
        data = b"" if payload is None else payload
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.close_connection = True

    def do_HEAD(self):
        self.record(None)
        self.send_plain(200)

    def do_GET(self):
        self.record(None)
        self.send_plain(200, b"{}")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        try:
            body = json.loads(raw)
        except ValueError:
            body = raw.decode("utf-8", "replace")
        self.record(body)
        path = self.path.split("?", 1)[0]
        if path == "/v1/messages/count_tokens":
            self.send_plain(200, json.dumps({"input_tokens": 10}).encode())
            return
        if path != "/v1/messages" or not isinstance(body, dict):
            self.send_plain(404, json.dumps({"type": "error", "error": {
                "type": "not_found_error", "message": "not here"}}).encode())
            return
        with open(self.server.script_path, encoding="utf-8") as f:
            script = json.load(f)
        blocks, stop_reason = reply_blocks(script, body)
        message_id = "msg_mock_%04d" % next(_ids)
        model = body.get("model", "mock")
        if not body.get("stream"):
            self.send_plain(200, json.dumps({
                "id": message_id, "type": "message", "role": "assistant", "model": model,
                "content": blocks, "stop_reason": stop_reason, "stop_sequence": None,
                "usage": {"input_tokens": 10, "output_tokens": 20}}).encode())
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        for chunk in stream_events(message_id, model, blocks, stop_reason):
            self.wfile.write(chunk)
            self.wfile.flush()
        self.close_connection = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.script_path = args.script
    server.log_path = args.log
    tmp = args.port_file + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)

    def stop(_signum, _frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server.serve_forever()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
