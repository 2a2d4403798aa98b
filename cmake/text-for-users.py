#!/usr/bin/env python3
"""Turns the repository's Markdown into plain text for the packages.

  text-for-users.py [--crlf] [--title TITLE] [--section NAME]... IN OUT

With --section, only the named "## " sections of IN are kept (in IN's order),
under TITLE; without it, all of IN. Code blocks are indented, images dropped,
Markdown's marks taken off the words, and sentences that send the reader to
a document in the repository's docs/ (which no package holds) left out.
--crlf ends lines in CR LF (Notepad).
"""
import argparse
import re


def sections(text):
    """Yields (heading, lines) for the part before the first "## " and each section."""
    heading, lines = None, []
    for line in text.splitlines():
        if line.startswith("## "):
            yield heading, lines
            heading, lines = line[3:].strip(), []
        else:
            lines.append(line)
    yield heading, lines


def plain_words(line):
    # Code spans keep their content as it is; outside them, emphasis and
    # links lose their marks.
    out = []
    for i, part in enumerate(line.split("`")):
        if i % 2 == 0:
            part = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1 (\2)", part)
            part = re.sub(r"(\*\*|\*)(\S(?:.*?\S)?)\1", r"\2", part)
        out.append(part)
    return "".join(out)


# A sentence that begins with the name of a document under docs/.
REPOSITORY_DOC = re.compile(r"\s*`docs/[^`]+\.md`[^.]*\.")


def plain(lines):
    out, in_code = [], False
    for line in lines:
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            out.append("    " + line if line else "")
        elif re.match(r"\s*!\[[^\]]*\]\([^)]*\)\s*$", line):
            continue
        elif REPOSITORY_DOC.search(line):
            out.append(plain_words(REPOSITORY_DOC.sub("", line)))
        elif line.startswith("#"):
            title = line.lstrip("#").strip()
            out.append(plain_words(title))
            out.append(("=" if line.startswith("# ") else "-") * len(plain_words(title)))
        else:
            out.append(plain_words(line))
    # No runs of blank lines where images were dropped.
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(out).strip("\n"))
    return text + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crlf", action="store_true")
    ap.add_argument("--title")
    ap.add_argument("--section", action="append", default=[])
    ap.add_argument("input")
    ap.add_argument("output")
    args = ap.parse_args()
    with open(args.input, encoding="utf-8") as f:
        text = f.read()
    if args.section:
        kept = [f"# {args.title}", ""] if args.title else []
        found = set()
        for heading, lines in sections(text):
            if heading in args.section:
                kept += [f"## {heading}"] + lines
                found.add(heading)
        missing = [s for s in args.section if s not in found]
        if missing:
            raise SystemExit(f"{args.input}: no section {', '.join(missing)}")
    else:
        kept = text.splitlines()
    result = plain(kept)
    if args.crlf:
        result = result.replace("\n", "\r\n")
    with open(args.output, "w", encoding="utf-8", newline="") as f:
        f.write(result)


if __name__ == "__main__":
    main()
