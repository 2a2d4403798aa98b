#!/usr/bin/env python3
"""The language server's figures: how long after a one-line change to a large
open document its diagnostics arrive, and how much more memory the server's
peak takes with that document open than with none.

  bench/lsp_bench.py TERVALO-CLI [LINES [CHANGES]]

bench/run calls rows() and puts them in its table.
"""
import json
import os
import random
import statistics
import subprocess
import sys
import time

URI = "file:///bench/big.dbr"


class Server:
    def __init__(self, cli):
        self.proc = subprocess.Popen([cli, "lsp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.send({"id": 0, "method": "initialize", "params": {"capabilities": {}}})
        self.wait(lambda m: m.get("id") == 0)

    def send(self, message):
        body = json.dumps(dict(message, jsonrpc="2.0")).encode()
        self.proc.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.proc.stdin.flush()

    def wait(self, test):
        out = self.proc.stdout
        while True:
            length = 0
            while True:
                line = out.readline()
                if not line:
                    raise SystemExit("the language server ended early")
                if line == b"\r\n":
                    break
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            message = json.loads(out.read(length))
            if test(message):
                return message

    def diagnostics(self):
        return self.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics")["params"]["diagnostics"]

    def peak_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        raise SystemExit("no VmHWM for the language server")

    def close(self):
        self.send({"id": 1, "method": "shutdown"})
        self.wait(lambda m: m.get("id") == 1)
        self.send({"method": "exit"})
        self.proc.stdin.close()
        if self.proc.wait(timeout=60) != 0:
            raise SystemExit("the language server did not end with status 0")


def document(lines):
    """A record file in normal form, of lines of some 36 bytes."""
    rng = random.Random(26)
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma"]
    body = sorted("%s%07d,%s %d," % (rng.choice(words), i, rng.choice(words), rng.randrange(10 ** 6))
                  for i in range(lines - 1))
    return "templateName,records/bench.tpl\r\n" + "".join(line + "\r\n" for line in body)


def measure(cli, lines, changes):
    text = document(lines)
    idle = Server(cli)
    idle_peak = idle.peak_kib()
    idle.close()

    server = Server(cli)
    server.send({"method": "textDocument/didOpen",
                 "params": {"textDocument": {"uri": URI, "languageId": "dbr", "version": 1, "text": text}}})
    if server.diagnostics():
        raise SystemExit("the benchmark's document is not in normal form")
    middle = lines // 2
    original = text.split("\r\n")[middle]
    # One line each time: a value (the document stays normal), a key that
    # breaks the order (a sort), a bad line; then back.
    variants = [original[:-1] + "x,", "zzz" + original, original.split(",")[0] + ","]
    seconds = []
    current = original
    for i in range(changes):
        new = variants[i // 2 % len(variants)] if i % 2 == 0 else original
        rng = {"start": {"line": middle, "character": 0}, "end": {"line": middle, "character": len(current)}}
        start = time.perf_counter()
        server.send({"method": "textDocument/didChange",
                     "params": {"textDocument": {"uri": URI, "version": i + 2},
                                "contentChanges": [{"range": rng, "text": new}]}})
        server.diagnostics()
        seconds.append(time.perf_counter() - start)
        current = new
    peak = server.peak_kib()
    server.close()
    return len(text.encode()), seconds, (peak - idle_peak) * 1024


def rows(cli, lines=100000, changes=30):
    size, seconds, delta = measure(cli, lines, changes)
    median = statistics.median(seconds) * 1000
    worst = max(seconds) * 1000
    return [
        ["lsp: diagnostics after a one-line change, %d-line document" % lines, "%.1f ms median" % median,
         "%.1f ms worst" % worst, "%d changes" % changes,
         ("met" if worst <= 100 else "NOT MET") + " (<= 100 ms)"],
        ["lsp: peak RSS with that document open, less with none (%.1f MiB)" % (size / 1048576.0),
         "%.1f MiB" % (delta / 1048576.0), "", "%.2fx document" % (delta / size),
         ("met" if delta <= 3 * size else "NOT MET") + " (<= 3x document)"],
    ]


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    args = [int(a) for a in sys.argv[2:]]
    for row in rows(sys.argv[1], *args):
        print("  ".join(cell for cell in row if cell))
