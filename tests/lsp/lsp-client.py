#!/usr/bin/env python3
"""A scripted JSON-RPC client for `tervalo-cli lsp`: one table of cases, each
run against a fresh server.

  lsp-client.py TERVALO-CLI          the native program
  lsp-client.py --wine TERVALO-CLI   tervalo-cli.exe under Wine (WINEPREFIX)

Every wait has a time limit; the first failing case ends the run.
"""
import json
import os
import queue
import re
import subprocess
import sys
import threading

WAIT = 60 if "--wine" in sys.argv else 10
URI = "file:///work/records/a.dbr"


class Server:
    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
        self.inbox, self.encoding, self.text = queue.Queue(), "utf-16", ""
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        out, length = self.proc.stdout, None
        while True:
            line = out.readline()
            if not line:
                return self.inbox.put(None)
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
            elif line.strip() == b"":
                self.inbox.put(json.loads(out.read(length).decode("utf-8")))

    def raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        body = json.dumps(dict(message, jsonrpc="2.0")).encode()
        self.raw(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def next(self, test=lambda m: True):
        """The next message that passes test; the others are dropped."""
        while True:
            message = self.inbox.get(timeout=WAIT)
            assert message is not None, "the server closed its output"
            if test(message):
                return message


def offset(text, encoding, pos):
    """The string index of an LSP position in text."""
    starts = [0] + [m.end() for m in re.finditer(r"\r\n|\r|\n", text)]
    if pos["line"] >= len(starts):
        return len(text)
    units, i = 0, starts[pos["line"]]
    while i < len(text) and units < pos["character"] and text[i] not in "\r\n":
        units += len(text[i].encode("utf-8")) if encoding == "utf-8" else len(text[i].encode("utf-16-le")) // 2
        i += 1
    return i


def apply(text, encoding, edits):
    for e in sorted(edits, key=lambda e: offset(text, encoding, e["range"]["start"]), reverse=True):
        a, b = offset(text, encoding, e["range"]["start"]), offset(text, encoding, e["range"]["end"])
        text = text[:a] + e["newText"] + text[b:]
    return text


# ---- steps: each takes the server ------------------------------------------

def init(encodings=None):
    def step(s):
        caps = {"general": {"positionEncodings": encodings}} if encodings else {}
        s.send({"id": 0, "method": "initialize", "params": {"capabilities": caps}})
        s.encoding = s.next(lambda m: m.get("id") == 0)["result"]["capabilities"]["positionEncoding"]
        assert s.encoding == ("utf-8" if encodings and "utf-8" in encodings else "utf-16"), s.encoding
        s.send({"method": "initialized", "params": {}})
    return step


def diags(s, expected):
    """The next diagnostics, as (line, character, severity, message), are expected."""
    got = [(d["range"]["start"]["line"], d["range"]["start"]["character"], d["severity"], d["message"])
           for d in s.next(lambda m: m.get("method") == "textDocument/publishDiagnostics")["params"]["diagnostics"]]
    assert expected(got) if callable(expected) else got == expected, got


def open_(text, expected=None):
    def step(s):
        s.text = text
        s.send({"method": "textDocument/didOpen",
                "params": {"textDocument": {"uri": URI, "languageId": "dbr", "version": 1, "text": text}}})
        if expected is not None:
            diags(s, expected)
    return step


def change(edits, expected):
    """edits: (start line, start char, end line, end char, text), or a whole text."""
    def step(s):
        changes = []
        for e in edits:
            c = {"text": e} if isinstance(e, str) else {"text": e[4], "range": {
                "start": {"line": e[0], "character": e[1]}, "end": {"line": e[2], "character": e[3]}}}
            s.text = apply(s.text, s.encoding, [dict(c, newText=c["text"])]) if "range" in c else e
            changes.append(c)
        s.send({"method": "textDocument/didChange",
                "params": {"textDocument": {"uri": URI, "version": 2}, "contentChanges": changes}})
        diags(s, expected)
    return step


def fmt(expected, most_edits=None):
    """Formats; the edits applied give expected (no edits for None)."""
    def step(s):
        s.send({"id": 7, "method": "textDocument/formatting", "params": dict(DOC, options={"tabSize": 4})})
        edits = s.next(lambda m: m.get("id") == 7)["result"]
        after = apply(s.text, s.encoding, edits)
        assert (edits == [] if expected is None else after == expected), (edits, after)
        assert most_edits is None or len(edits) <= most_edits, edits
        s.text = after
    return step


def request(method, params, check):
    def step(s):
        s.send({"id": 9, "method": method, "params": params})
        message = s.next(lambda m: m.get("id") == 9 and "method" not in m)
        assert check(message), message
    return step


def notify(method, params=None):
    return lambda s: s.send({"method": method, "params": params or {}})


def raw(data):
    return lambda s: s.raw(data)


def error(code):
    """The next message is an error answer with this code."""
    def step(s):
        message = s.next()
        assert fails(code)(message), message
    return step


def ends(status, close=False):
    def step(s):
        if close:
            s.proc.stdin.close()
        assert s.proc.wait(timeout=WAIT) == status, s.proc.returncode
    return step


def fails(code):
    return lambda m: m.get("error", {}).get("code") == code


def result(check):
    return lambda m: "result" in m and check(m["result"])


DOC = {"textDocument": {"uri": URI}}
E, I = 1, 3
SHUTDOWN = [request("shutdown", None, result(lambda r: r is None)), notify("exit"), ends(0)]
FIX_ALL = "source.fixAll.tervalo"

CASES = [
    ("requests before initialize", [
        request("textDocument/formatting", DOC, fails(-32002)),
        open_("x\r\n"), init(), request("textDocument/formatting", DOC, fails(-32602))] + SHUTDOWN),
    ("UTF-16 columns outside ASCII", [
        init(), open_("\U0001D11E\u00e9,\r\nk\u00e9,v\r\n\u00e9\u20ac\U0001D11E", [(0, 3, E, "nothing after the comma"), (2, 0, E, "line has no comma")])] + SHUTDOWN),
    ("UTF-8 where offered", [
        init(["utf-16", "utf-8"]), open_("\U0001D11E\u00e9,\r\n", [(0, 6, E, "nothing after the comma")]),
        change([(0, 7, 0, 7, "v")], []), fmt(None)] + SHUTDOWN),
    ("a byte-order mark counts in positions", [
        init(), open_("\ufeff,x\r\n", [(0, 1, E, "line starts with a comma")]),
        change(["\ufeffb,2\r\na,1\r\n"], [(0, 0, I, "not in normal order")]),
        fmt("\ufeffa,1\r\nb,2\r\n")]),
    ("lines end at a lone CR as well", [
        init(), open_("k,1\r\nbad\rline\r\nz,\r\n\x1a\x1ax", [(1, 0, E, "line has no comma"), (3, 1, E, "nothing after the comma"), (4, 2, E, "text after the end-of-file mark")])]),
    ("incremental changes", [
        init(), open_("a,1\r\nb,2\r\nc,3\r\n", []),
        change([(1, 2, 1, 3, "")], [(1, 1, E, "nothing after the comma")]),
        change([(1, 2, 1, 2, "\u00e9"), (0, 0, 0, 0, "\U0001D11E")], [(0, 0, I, "not in normal order")]),
        change([(0, 0, 0, 2, "")], []),
        change([(1, 3, 1, 3, "\r\nb2,x")], []),
        change([(2, 0, 2, 2, "a")], [(1, 0, I, "not in normal order")])]),
    ("not in normal order: where the first difference is", [
        init(), open_("a,1\r\nb,2\r\n\r\nc,3\r\n", [(2, 0, I, "not in normal order")]),
        change(["a,1\r\nb,2\nc,3\r\n"], [(1, 0, I, "not in normal order")]),
        change(["templateName,t\r\na,1\r\nk,,\r\n"], [(2, 0, I, "not in normal order")]),
        change(["a,1\r\nb,2"], [(1, 0, I, "not in normal order")]),
        change(["templateName,t\r\nb,1\r\na,1\r\n"], [(1, 0, I, "not in normal order")])]),
    ("formatting: small edits, the normal form byte for byte", [
        init(), open_("templateName,t\r\na,1\r\nb,2\r\nz,0\r\nc,3\r\nd,4\r\ne,5\r\n"),
        fmt("templateName,t\r\na,1\r\nb,2\r\nc,3\r\nd,4\r\ne,5\r\nz,0\r\n", most_edits=2),
        open_("b,2\nk,,\n\na,1\ntemplateName,x\ntemplateName,y"), fmt("templateName,y\r\na,1\r\nb,2\r\n"),
        open_("a,1\r\nb\r\n"), fmt(None), open_("a,1\r\n"), fmt(None)]),
    ("fix-all code action", [
        init(), open_("b,2\r\na,1\r\n"),
        request("textDocument/codeAction", dict(DOC, range={"start": {"line": 0, "character": 0}, "end": {"line": 0, "character": 0}}, context={"diagnostics": [], "only": ["source.fixAll"]}),
                result(lambda r: len(r) == 1 and r[0]["kind"] == FIX_ALL and r[0]["title"] == "Put in normal order" and
                       apply("b,2\r\na,1\r\n", "utf-16", r[0]["edit"]["changes"][URI]) == "a,1\r\nb,2\r\n")),
        request("textDocument/codeAction", dict(DOC, range={"start": {"line": 0, "character": 0}, "end": {"line": 0, "character": 0}}, context={"diagnostics": [], "only": ["quickfix"]}),
                result(lambda r: r == []))]),
    ("outline", [
        init(), open_("b,2,x\r\n\r\ntemplateName,t.tpl\r\nb,3\r\n"),
        request("textDocument/documentSymbol", DOC,
                result(lambda r: [(x["name"], x["range"]["start"]["line"]) for x in r] == [("templateName", 2), ("b", 0), ("b", 3)]))]),
    ("more than 1,000 bad lines", [
        init(), open_("x\n" * 1003, lambda got: len(got) == 1001 and got[999][0] == 999 and got[1000] == (1000, 0, E, "3 more bad lines"))]),
    ("errors, and the server goes on", [
        init(), request("textDocument/hover", DOC, fails(-32601)), notify("workspace/somethingNew"),
        raw(b"Content-Length: 9\r\n\r\n{not json"), error(-32700),
        raw(b"Content-Type: x\r\n\r\n"), error(-32700),
        raw(b"Content-Length: 2\r\nbroken\r\n\r\n{}"), error(-32700),
        raw(b"Content-Length: 12x\r\n\r\n"), error(-32700),
        raw(b'Content-Length: 2\r\n\r\n[]'), error(-32600),
        raw(b"Content-Length: 100000\r\n\r\n" + b"[" * 100000), error(-32700),
        raw(b"Content-Length: 67108865\r\n\r\n" + b" " * 67108865), error(-32600),
        request("textDocument/formatting", DOC, fails(-32602)),
        request("textDocument/formatting", {"textDocument": 5}, fails(-32602)),
        notify("$/cancelRequest", {"id": 9}),
        request("textDocument/documentSymbol", {"textDocument": {"uri": "file:///none.dbr"}}, fails(-32602)),
        request("shutdown", None, result(lambda r: r is None)),
        request("textDocument/formatting", DOC, fails(-32600)), notify("exit"), ends(0)]),
    ("exit without shutdown", [init(), notify("exit"), ends(1)]),
    ("standard input closing", [init(), ends(1, close=True)]),
]


def main():
    args = [a for a in sys.argv[1:] if a != "--wine"]
    command = args + ["lsp"]
    if "--wine" in sys.argv:
        if not os.environ.get("WINEPREFIX"):
            print("WINEPREFIX names no prefix")
            return 77
        command = ["/usr/lib/wine/wine64"] + command
    failed = 0
    for name, steps in CASES:
        server = Server(command)
        try:
            for step in steps:
                step(server)
        except (AssertionError, queue.Empty, subprocess.TimeoutExpired, KeyError) as e:
            print("FAIL %s: %s %r" % (name, type(e).__name__, e))
            failed += 1
        finally:
            if server.proc.poll() is None:
                server.proc.kill()
            server.proc.wait()
    print("%d of %d cases passed" % (len(CASES) - failed, len(CASES)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
