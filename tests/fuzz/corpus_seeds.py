#!/usr/bin/env python3
"""Writes a fuzz seed of ini_reader for each case of the settings-file corpus.

Each seed is "\\x01" SECTION "\\0" KEY "\\0" FILE-BYTES: the case's file, asked for the
key of its first call. Made at build time, so that the corpus is written down only once.

    corpus_seeds.py CORPUS.TXT OUT-FOLDER
"""
import pathlib
import re
import sys

LETTERS = b"abcdefghijklmnopqrstuvwxyz"
ESCAPES = {"r": b"\r", "n": b"\n", "t": b"\t", "0": b"\0", "\\": b"\\", '"': b'"'}


def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode("latin-1")
            i += 1
        elif text[i + 1] in ESCAPES:
            out += ESCAPES[text[i + 1]]
            i += 2
        elif text[i + 1] == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        elif text[i + 1] == "{":
            end = text.index("}", i)
            count = int(text[i + 2:end])
            out += (LETTERS * (count // 26 + 1))[:count]
            i = end + 1
        else:
            raise ValueError(f"unknown escape in {text!r}")
    return bytes(out)


QUOTED = r'"((?:[^"\\]|\\.)*)"|(NULL)'


def main():
    corpus, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    seeds = {}
    case = None
    for line in corpus.read_text(encoding="latin-1").splitlines():
        word, _, rest = line.partition(" ")
        if word == "case":
            case = {"id": rest.split()[0], "file": None, "query": None}
            seeds[case["id"]] = case
        elif case is None:
            continue
        elif word == "file":
            case["file"] = unescape(rest)
        elif word in ("str", "int") and case["query"] is None:
            names = re.findall(QUOTED, rest)[:2]
            if all(text or not null for text, null in names) and len(names) == 2:
                case["query"] = [unescape(text) for text, _ in names]
    written = set()
    for case in seeds.values():
        if case["file"] is None or case["query"] is None:
            continue
        section, key = case["query"]
        name = "corpus-" + case["id"]
        data = b"\x01" + section + b"\0" + key + b"\0" + case["file"]
        path = out / name
        if not path.exists() or path.read_bytes() != data:
            path.write_bytes(data)
        written.add(name)
    for stale in out.iterdir():
        if stale.name not in written:
            stale.unlink()
    if not written:
        sys.exit(f"no case with a file in {corpus}")


if __name__ == "__main__":
    main()
