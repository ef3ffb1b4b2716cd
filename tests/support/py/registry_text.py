"""REGEDIT4 and "Windows Registry Editor Version 5.00" text, as cases write the registry, the
emulated machine keeps it and the recorder dumps it; values with their types, described and
compared."""

import re

from case_error import CaseError
from log_text import b2s, s2b

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def _read_quoted(line, i):
    """The text of the quoted string starting at line[i] == '"', and the index after it."""
    assert line[i] == '"'
    out = []
    i += 1
    while i < len(line):
        c = line[i]
        if c == "\\" and i + 1 < len(line):
            out.append(line[i + 1])
            i += 2
        elif c == '"':
            return "".join(out), i + 1
        else:
            out.append(c)
            i += 1
    raise CaseError("unterminated string in %r" % line)


def parse_reg(text):
    """Keys of a .reg text: {lower-case key path: {lower-case value name: (name, type, bytes)}}.

    Text data is given as the bytes an ANSI program reads: a quoted string gets its NUL, and
    the hex forms of the text types in a version 5.00 file (UTF-16) are narrowed.
    """
    text = text.lstrip("\ufeff")
    raw_lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    if not raw_lines:
        raise CaseError("empty .reg text")
    header = raw_lines[0].strip()
    if header == "REGEDIT4":
        wide = False
    elif header == "Windows Registry Editor Version 5.00":
        wide = True
    else:
        raise CaseError("not a .reg text: %r" % header)
    lines = []
    pending = ""
    for line in raw_lines[1:]:
        if pending:
            line = pending + line.lstrip()
            pending = ""
        if line.rstrip().endswith("\\") and re.match(r'^\s*("|@).*=\s*hex', line):
            pending = line.rstrip()[:-1]
            continue
        lines.append(line)
    if pending:
        lines.append(pending)
    keys = {}
    current = None
    for line in lines:
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        if stripped.startswith("["):
            path = stripped[1:stripped.rindex("]")]
            if path.startswith("-"):
                raise CaseError("key deletions are not a machine state: %r" % stripped)
            current = keys.setdefault(path.lower(), {})
            continue
        if current is None:
            raise CaseError("value outside a key: %r" % stripped)
        if stripped.startswith("@="):
            name, i = "", 1
        elif stripped.startswith('"'):
            name, i = _read_quoted(stripped, 0)
        else:
            raise CaseError("unreadable line: %r" % stripped)
        if stripped[i] != "=":
            raise CaseError("unreadable line: %r" % stripped)
        data = stripped[i + 1:].strip()
        if data.startswith('"'):
            value, _ = _read_quoted(data, 0)
            entry = (REG_SZ, s2b(value) + b"\0")
        elif data.startswith("dword:"):
            entry = (REG_DWORD, int(data[6:], 16).to_bytes(4, "little"))
        elif data.startswith("hex"):
            m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", data)
            if not m:
                raise CaseError("unreadable hex data: %r" % data)
            kind = int(m.group(1), 16) if m.group(1) else REG_BINARY
            items = [x.strip() for x in m.group(2).split(",") if x.strip()]
            raw = bytes(int(x, 16) for x in items)
            if wide and kind in (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ):
                raw = s2b(raw.decode("utf-16-le"))
            entry = (kind, raw)
        elif data == "-":
            raise CaseError("value deletions are not a machine state: %r" % stripped)
        else:
            raise CaseError("unreadable value data: %r" % data)
        current[name.lower()] = (name,) + entry
    return keys


def describe_value(entry):
    if entry is None:
        return "(missing)"
    _, kind, data = entry
    type_name = TYPE_NAMES.get(kind, "type %d" % kind)
    if kind in (REG_SZ, REG_EXPAND_SZ):
        return "%s %r" % (type_name, b2s(data))
    if kind == REG_DWORD and len(data) == 4:
        return "%s 0x%08X" % (type_name, int.from_bytes(data, "little"))
    return "%s hex:%s" % (type_name, data.hex(","))


def compare_values(expected, actual):
    """Lines telling each difference between two value maps of one key."""
    problems = []
    for lower in sorted(set(expected) | set(actual)):
        want, got = expected.get(lower), actual.get(lower)
        if want is None or got is None or want[1:] != got[1:]:
            name = (want or got)[0] or "@"
            problems.append("  value %r: expected %s, got %s"
                            % (name, describe_value(want), describe_value(got)))
    return problems
