#!/usr/bin/python3
"""Compiles a readable message source file into the C++ message table of one module.

Source format (UTF-8), one entry per line:
    # a comment                      blank lines and lines starting with '#' are ignored
    1101 1040 "PIN Errato%0"         message id, language id, text (ids decimal or 0x-hex)
    string 20 "Tahoma"               string-table resource id and text (LoadStringA)
    copy 1028 from 1033              every id that language 1028 lacks takes its 1033 text
Texts are in double quotes with the escapes \\\\ \\" \\r \\n \\t. Each message is stored as
written followed by CR LF, as a message compiler stores it; end a text with %0 to keep that line
break out of the formatted result.

Usage: msgtable_gen.py SOURCE OUTPUT.cpp
"""

import re
import sys

ESCAPES = {"\\": "\\", '"': '"', "r": "\r", "n": "\n", "t": "\t"}
LINE_RE = re.compile(r'^(?P<head>[^"#]*?)\s*"(?P<body>(?:[^"\\]|\\.)*)"\s*(?:#.*)?$')
COPY_RE = re.compile(r"^copy\s+(\S+)\s+from\s+(\S+)\s*(?:#.*)?$")


class SourceError(Exception):
    pass


def number(text, limit, what):
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise SourceError(f"{what} '{text}' is not a number")
    if value < 0 or value > limit:
        raise SourceError(f"{what} {text} is out of range")
    return value


def unescape(body):
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c == "\\":
            if i + 1 >= len(body) or body[i + 1] not in ESCAPES:
                raise SourceError(f"unknown escape in \"{body}\"")
            out.append(ESCAPES[body[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse(path):
    messages = {}
    strings = {}
    copies = []
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.rstrip("\r\n")
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            try:
                m = COPY_RE.match(stripped)
                if m:
                    copies.append((number(m.group(1), 0xFFFF, "language"),
                                   number(m.group(2), 0xFFFF, "language")))
                    continue
                m = LINE_RE.match(stripped)
                if not m:
                    raise SourceError("expected: ID LANGUAGE \"text\", string ID \"text\" "
                                      "or copy LANGUAGE from LANGUAGE")
                head = m.group("head").split()
                text = unescape(m.group("body"))
                if len(head) == 2 and head[0] == "string":
                    sid = number(head[1], 0xFFFF, "string id")
                    if sid in strings:
                        raise SourceError(f"string {sid} is defined twice")
                    strings[sid] = text
                elif len(head) == 2:
                    mid = number(head[0], 0xFFFFFFFF, "message id")
                    lang = number(head[1], 0xFFFF, "language")
                    if (mid, lang) in messages:
                        raise SourceError(f"message {mid} is defined twice for language {lang}")
                    messages[(mid, lang)] = text + "\r\n"
                else:
                    raise SourceError("expected: ID LANGUAGE \"text\" or string ID \"text\"")
            except SourceError as e:
                raise SourceError(f"{path}:{lineno}: {e}")
    for target, origin in copies:
        ids = sorted({mid for (mid, lang) in messages if lang == origin})
        if not ids:
            raise SourceError(f"{path}: copy from language {origin}, which has no messages")
        for mid in ids:
            messages.setdefault((mid, target), messages[(mid, origin)])
    return messages, strings


def c_string(text):
    """A C string literal of the UTF-8 bytes; octal escapes cannot run into the next character."""
    out = ['"']
    for b in text.encode("utf-8"):
        ch = chr(b)
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif 0x20 <= b < 0x7F and ch != "?":
            out.append(ch)
        else:
            out.append("\\%03o" % b)
    out.append('"')
    return "".join(out)


def generate(source, messages, strings):
    lines = [
        "// Message table generated from %s by msgtable_gen.py: edit the source, not this file."
        % source.replace("\\", "/").split("/")[-1],
        '#include "message_table.h"',
        "",
        "namespace {",
    ]
    if messages:
        lines.append("const VANTOR_MESSAGE_ENTRY kMessages[] = {")
        for (mid, lang) in sorted(messages):
            text = messages[(mid, lang)]
            lines.append("    {0x%08Xu, 0x%04X, 0, %du, %s}," %
                         (mid, lang, len(text.encode("utf-8")), c_string(text)))
        lines.append("};")
    if strings:
        lines.append("const VANTOR_STRING_ENTRY kStrings[] = {")
        for sid in sorted(strings):
            text = strings[sid]
            lines.append("    {%du, %du, %s}," % (sid, len(text.encode("utf-8")), c_string(text)))
        lines.append("};")
    lines += [
        "const VANTOR_MESSAGE_TABLE kTable = {",
        "    VANTOR_MESSAGE_TABLE_MAGIC, VANTOR_MESSAGE_TABLE_VERSION,",
        "    %du, %s," % (len(messages), "kMessages" if messages else "nullptr"),
        "    %du, %s," % (len(strings), "kStrings" if strings else "nullptr"),
        "};",
        "}  // namespace",
        "",
        'extern "C" __attribute__((visibility("default"), used)) const VANTOR_MESSAGE_TABLE*',
        "VantorGetMessageTable() {",
        "    return &kTable;",
        "}",
        "",
    ]
    return "\n".join(lines)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        messages, strings = parse(argv[1])
    except (SourceError, UnicodeDecodeError, OSError) as e:
        print(f"msgtable_gen: {e}", file=sys.stderr)
        return 1
    text = generate(argv[1], messages, strings)
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
