#!/usr/bin/env python3
"""A scripted OpenAI-compatible model server for the bridge's black-box tests.

Usage: fake_openai_server.py SCRIPT.json CALLS.jsonl

SCRIPT holds one entry per endpoint, "models" (GET /v1/models) and "completion"
(POST /v1/chat/completions), each {"status": int, "body": any JSON} or
{"status": int, "raw": "text"} (with "repeat": n, the text n times) or {"drop": true} (close the
connection without answering); a "delaySeconds" in a rule holds its answer back that long.
Every request is appended to CALLS as one JSON line: method, path, authorization header and the
parsed request body. The port is printed on stdout once the server listens on 127.0.0.1.
"""
import http.server
import json
import sys
import time


def main():
    script_path, calls_path = sys.argv[1], sys.argv[2]
    with open(script_path, encoding="utf-8") as f:
        script = json.load(f)
    calls = open(calls_path, "a", encoding="utf-8")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def record(self, body):
            entry = {
                "method": self.command,
                "path": self.path,
                "authorization": self.headers.get("Authorization"),
                "body": body,
            }
            calls.write(json.dumps(entry) + "\n")
            calls.flush()

        def answer(self, name):
            rule = script.get(name, {"status": 404, "raw": "not scripted"})
            time.sleep(rule.get("delaySeconds", 0))
            if rule.get("drop"):
                self.close_connection = True
                self.connection.close()
                return
            if "raw" in rule:
                payload = rule["raw"].encode("utf-8") * rule.get("repeat", 1)
            else:
                payload = json.dumps(rule.get("body")).encode("utf-8")
            self.send_response(rule.get("status", 200))
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def do_GET(self):
            self.record(None)
            self.answer("models" if self.path == "/v1/models" else "unknown")

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            raw = self.rfile.read(length)
            try:
                body = json.loads(raw)
            except ValueError:
                body = raw.decode("utf-8", "replace")
            self.record(body)
            self.answer("completion" if self.path == "/v1/chat/completions" else "unknown")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
