"""Texts as the suites handle them: all texts are 8-bit strings (latin-1 stands for raw bytes);
the escapes of the emulated machine's logs (and of the box probe's), and the message boxes of a
Wine relay trace."""

import re

from case_error import CaseError


def b2s(data):
    return data.decode("latin-1")


def s2b(text):
    return text.encode("latin-1")


def escape_log(text):
    """The escaping of the emulated machine's logs, used to show and compare texts."""
    out = []
    for c in text:
        o = ord(c)
        if c == "\\":
            out.append("\\\\")
        elif c == "\r":
            out.append("\\r")
        elif c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif o < 0x20 or o == 0x7F:
            out.append("\\x%02X" % o)
        else:
            out.append(c)
    return "".join(out)


def unescape(text, quote_escape=False):
    """Undoes the log escapes (and Wine's trace escapes, which add \\" and lower-case hex)."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n in "\\\"":
            out.append(n)
            i += 2
        elif n in "rnt":
            out.append({"r": "\r", "n": "\n", "t": "\t"}[n])
            i += 2
        elif n == "x" and re.match(r"[0-9A-Fa-f]{2}", text[i + 2:i + 4]):
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            raise CaseError("unknown escape in %r" % text)
    return "".join(out)


# The same log escapes as the whole-run tests and the boxes suite read them: without \", and
# with a ValueError for any other.
LOG_ESCAPES = {"\\": "\\", "r": "\r", "n": "\n", "t": "\t"}


def unescape_log_text(text):
    """The text that the emulation's one-line log escapes stand for."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
        elif text[i + 1] in LOG_ESCAPES:
            out.append(LOG_ESCAPES[text[i + 1]])
            i += 2
        elif text[i + 1] == "x" and re.fullmatch(r"[0-9A-Fa-f]{2}", text[i + 2:i + 4]):
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            raise ValueError("bad escape in log text %r" % text)
    return "".join(out)


def parse_relay(trace):
    """The message boxes of a relay trace: Call user32.MessageBoxA(owner,text,caption,type),
    each string argument a pointer followed by its quoted text, a null one bare."""
    boxes = []
    marker = "Call user32.MessageBoxA("
    for line in trace.split("\n"):
        at = line.find(marker)
        if at < 0:
            continue
        rest = line[at + len(marker):]
        args = []
        i = 0
        while len(args) < 4:
            m = re.match(r"[0-9a-fA-F]{8,16}", rest[i:])
            if not m:
                raise RuntimeError("unreadable trace line: %r" % line)
            pointer = int(m.group(0), 16)
            i += len(m.group(0))
            text = None
            if rest[i:i + 2] == ' "':
                text, i = _read_trace_string(rest, i + 1)
            args.append((pointer, text))
            if len(args) < 4:
                if rest[i:i + 1] != ",":
                    raise RuntimeError("unreadable trace line: %r" % line)
                i += 1
        (_, text), (_, caption), (kind, _) = args[1], args[2], args[3]
        boxes.append((kind, caption, text if text is not None else ""))
    return boxes


class Truncated(str):
    """A text that the relay trace shows only in its beginning."""


def _read_trace_string(line, i):
    assert line[i] == '"'
    j = i + 1
    while j < len(line):
        if line[j] == "\\":
            j += 2
        elif line[j] == '"' and line.startswith('"...', j):
            # Wine shows a long text's beginning only.
            return Truncated(unescape(line[i + 1:j])), j + 4
        elif line[j] == '"':
            return unescape(line[i + 1:j]), j + 1
        else:
            j += 1
    raise RuntimeError("unterminated string in trace: %r" % line)
