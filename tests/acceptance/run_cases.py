#!/usr/bin/env python3
"""Whole runs of the updater, one per case folder under cases/.

Each case sets up a machine (registry record, InstallDir, package), runs the updater from the
package folder, and compares what the run left behind with what the case expects. The same
cases run against the native build on a fresh emulated machine (--native) and against the
Windows build under Wine in one fresh prefix, reset between cases (--wine). The layout of a
case folder is described in cases/README.
"""

import argparse
import difflib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

import wine_program  # the loader, prefix and registry view of a Windows program

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = os.path.join(HERE, "cases")

DEFAULT_PACKAGE_DIR = "C:\\Pkg\\"
RECORDER_TAG = b"@recorder"  # a case file starting with this stands for the recorder program
STARTED_SUFFIX = ".started"  # the recorder's record, next to itself
KEEP = ".keep"  # marks a folder that a case needs to exist though it holds nothing

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}


class CaseError(Exception):
    """A case folder that cannot be read as written."""


# ---- texts: all texts are handled as 8-bit strings (latin-1 stands for raw bytes) ----

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


# ---- REGEDIT4 and "Windows Registry Editor Version 5.00" text ----

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


# ---- folder trees ----

def read_tree(root, recorder=None, skip=()):
    """{relative path with '/': bytes, or None for a folder} of everything under root.

    A file that starts with the recorder program reads as what follows it, which is what the
    case wrote; `.keep` markers and the names in `skip` are left out."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root)
        for name in dirs:
            tree[os.path.normpath(os.path.join(rel_folder, name))] = None
        for name in files:
            if name == KEEP or name in skip:
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if recorder is not None and data.startswith(recorder):
                data = data[len(recorder):]
            tree[os.path.normpath(os.path.join(rel_folder, name))] = data
    return tree


def compare_trees(expected, actual):
    problems = []
    for path in sorted(set(expected) | set(actual)):
        if path not in actual:
            problems.append("  missing: %s" % path)
        elif path not in expected:
            problems.append("  unexpected: %s" % path)
        elif expected[path] != actual[path]:
            if expected[path] is None or actual[path] is None:
                problems.append("  %s: folder and file differ" % path)
            else:
                problems.append("  %s: expected %r, got %r"
                                % (path, expected[path][:200], actual[path][:200]))
    return problems


def copy_case_tree(source, destination, recorder):
    """Copies a case's tree onto the machine; recorder stand-ins become the recorder program
    with their text appended (an executable ignores bytes after its image)."""
    for folder, dirs, files in os.walk(source):
        rel = os.path.relpath(folder, source)
        target_folder = os.path.normpath(os.path.join(destination, rel))
        os.makedirs(target_folder, exist_ok=True)
        for name in files:
            if name == KEEP:
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if recorder is not None and data.startswith(RECORDER_TAG):
                data = recorder + data
            with open(os.path.join(target_folder, name), "wb") as f:
                f.write(data)


def remove_tree(path):
    def writable_again(function, failed_path, _):
        os.chmod(os.path.dirname(failed_path), 0o777)
        os.chmod(failed_path, 0o777)
        function(failed_path)

    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, onerror=writable_again)
    elif os.path.lexists(path):
        os.remove(path)


# ---- the command list ----

def copylist_structure(data):
    """The records of a command list as a tree with siblings in sorted order, or a problem.

    The walk lists a folder's entries in the order the file system gives them, so only the
    order among siblings is free; every record of a folder's contents must follow its MD."""
    if data.endswith(b"\r\n") or not data.endswith(b"end"):
        return None, "does not end with \"end\" without a line break"
    lines = data.split(b"\r\n")
    if any(b"\r" in line or b"\n" in line for line in lines):
        return None, "has a line break other than CR LF"
    records = []
    i = 0
    while i < len(lines):
        word = lines[i]
        if word == b"end":
            if i != len(lines) - 1:
                return None, "has lines after \"end\""
            break
        if word not in (b"Copy", b"MD") or i + 2 >= len(lines):
            return None, "has an unknown or cut record at line %d: %r" % (i + 1, word)
        records.append((b2s(word), b2s(lines[i + 1]), b2s(lines[i + 2])))
        i += 3

    position = 0

    def level(source_folder, destination_folder):
        nonlocal position
        items = []
        while position < len(records):
            word, source, destination = records[position]
            if source_folder is not None and not (source.startswith(source_folder) and
                                                  destination.startswith(destination_folder)):
                break
            position += 1
            if word == "MD":
                items.append((word, source, destination, level(source, destination)))
            else:
                items.append((word, source, destination, ()))
        return tuple(sorted(items))

    return level(None, None), None


def compare_copylist(expected, actual):
    if expected == actual:
        return []
    want, _ = copylist_structure(expected)
    got, problem = copylist_structure(actual)
    if problem is None and want is not None and want == got:
        return []  # the same records, siblings in another order
    lines = ["  CopyList.lis differs%s" % ("" if problem is None else " (it %s)" % problem)]
    # Lines with their breaks shown, so that a wrong line end shows as plainly as a wrong path.
    want_lines = [escape_log(b2s(x)) for x in expected.splitlines(keepends=True)]
    got_lines = [escape_log(b2s(x)) for x in actual.splitlines(keepends=True)]
    for line in difflib.unified_diff(want_lines, got_lines, "expected", "got", lineterm="", n=2):
        lines.append("    " + line)
    return lines


# ---- a case ----

class Case:
    FIELDS = {"package-dir", "product-key", "read-only", "runs", "exit", "box", "registry",
              "install", "copylist", "started", "builds", "copylist-before"}

    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(folder)
        self.fields = {}
        with open(os.path.join(folder, "expect"), encoding="latin-1") as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line.strip() or line.startswith("#"):
                    continue
                key, sep, value = line.partition(":")
                key = key.strip()
                if not sep or key not in self.FIELDS:
                    raise CaseError("%s/expect:%d: unknown line %r" % (self.name, number, line))
                self.fields.setdefault(key, []).append(value[1:] if value.startswith(" ")
                                                       else value)
        self.package_dir = self.one("package-dir", DEFAULT_PACKAGE_DIR)
        if not re.match(r"^[Cc]:\\.*\\$", self.package_dir):
            raise CaseError("%s: package-dir must be a folder on C: ending in \\" % self.name)
        self.product_key = self.one("product-key", None)
        if self.product_key is None:
            self.product_key = self.read_product_key()
        self.builds = self.one("builds", "native wine").split()
        if not self.builds or set(self.builds) - {"native", "wine"}:
            raise CaseError("%s: builds names native, wine or both" % self.name)
        self.runs = int(self.one("runs", "1"))
        self.exits = [int(x) for x in self.one("exit", None, required=True).split()]
        if len(self.exits) != self.runs:
            raise CaseError("%s: exit must give one code per run" % self.name)
        self.registry = self.one("registry", None, required=True)
        self.install = self.one("install", None, required=True)
        self.copylist = self.one("copylist", None, required=True)
        for field, allowed in (("registry", ("absent", "unchanged", "after.reg")),
                               ("copylist", ("absent", "unchanged", "copylist.lis"))):
            if getattr(self, field) not in allowed:
                raise CaseError("%s: %s must be one of %s" % (self.name, field, allowed))
        # install: absent, unchanged, or the folders of the trees that may each be the outcome
        if self.install not in ("absent", "unchanged") and not all(
                os.path.isdir(self.path(name)) for name in self.install.split()):
            raise CaseError("%s: install names a tree that the case lacks" % self.name)
        self.boxes = [] if self.fields.get("box") == ["none"] else self.fields.get("box", [])
        if "box" not in self.fields:
            raise CaseError("%s: give the boxes, or box: none" % self.name)
        # What stands at CopyList.lis's name before the run, other than a file of bytes.
        self.list_name_holder = self.one("copylist-before", None)
        if self.list_name_holder is not None:
            kind, _, target = self.list_name_holder.partition(" ")
            if kind == "folder" and not target:
                pass
            elif kind in ("symbolic-link", "hard-link") and target.startswith("windows/") and \
                    os.path.isfile(self.path(*target.split("/"))):
                pass
            else:
                raise CaseError("%s: copylist-before is folder, or symbolic-link or hard-link "
                                "and a file of windows/" % self.name)
            if os.path.exists(self.path("copylist-before.lis")):
                raise CaseError("%s: copylist-before and copylist-before.lis both given"
                                % self.name)
        self.started = ([] if self.fields.get("started") == ["none"]
                        else self.fields.get("started", []))
        if "started" not in self.fields:
            raise CaseError("%s: give the starts, or started: none" % self.name)

    def one(self, key, default, required=False):
        values = self.fields.get(key)
        if not values:
            if required:
                raise CaseError("%s: %s is missing" % (self.name, key))
            return default
        if len(values) > 1:
            raise CaseError("%s: %s given twice" % (self.name, key))
        return values[0]

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def read_product_key(self):
        with open(self.path("package", "options.inf"), "rb") as f:
            lines = re.split(rb"\r\n|\n", f.read())
        return b2s(lines[1]) if len(lines) > 1 else ""

    def text(self, name):
        with open(self.path(name), "rb") as f:
            return b2s(f.read())


class Tokens:
    """The folders of a case on one machine, by the names that cases use for them."""

    def __init__(self, case, machine):
        self.values = {
            "PackageDir": case.package_dir,
            "InstallDir": machine.windows_dir + "\\" + case.product_key + "\\",
            "TempDir": machine.temp_dir,
            "WindowsDir": machine.windows_dir,
        }

    def fill(self, text, escape=lambda s: s):
        def one(match):
            name = match.group(1)
            if name not in self.values:
                raise CaseError("unknown token {%s}" % name)
            return escape(self.values[name])
        return re.sub(r"\{(PackageDir|InstallDir|TempDir|WindowsDir)\}", one, text)

    def pattern(self, escaped_text):
        """A pattern for a text written with log escapes, tokens and {ADDR} (a code address:
        eight upper-case hex digits)."""
        pieces = re.split(r"(\{[A-Za-z]+\})", escaped_text)
        out = []
        for piece in pieces:
            if piece == "{ADDR}":
                out.append("[0-9A-F]{8}")
            elif re.fullmatch(r"\{[A-Za-z]+\}", piece):
                out.append(re.escape(self.fill(piece)))
            else:
                out.append(re.escape(unescape(piece)))
        return re.compile("".join(out), re.S)


def expected_box(tokens, written):
    m = re.match(r'^(0x[0-9A-Fa-f]{4})\s+(\(null\)|"(?:[^"\\]|\\.)*")\s(.*)$', written)
    if not m:
        raise CaseError("box must be: 0xTYPE (null)|\"caption\" text: %r" % written)
    caption = None if m.group(2) == "(null)" else unescape(m.group(2)[1:-1])
    return int(m.group(1), 16), caption, tokens.pattern(m.group(3)), written


def expected_start(tokens, written):
    m = re.match(r"^(\S+)\s(.*)$", written)
    if not m:
        raise CaseError("started must be: show-state command-line: %r" % written)
    return m.group(1), tokens.pattern(m.group(2)), written


def plant_in_windows_dir(case, machine):
    """Copies the case's windows/ tree into the Windows folder (recorder stand-ins included);
    returns the host paths of the planted files. The next reset removes them."""
    if not os.path.isdir(case.path("windows")):
        return []
    windows_host = machine.host_path(machine.windows_dir + "\\")
    copy_case_tree(case.path("windows"), windows_host, machine.recorder)
    planted = []
    for folder, _, files in os.walk(case.path("windows")):
        rel = os.path.relpath(folder, case.path("windows"))
        planted.extend(os.path.normpath(os.path.join(windows_host, rel, name))
                       for name in files if name != KEEP)
    touched = getattr(machine, "touched_paths", None)
    if touched is not None:
        for path in planted:
            touched.update((path, path + STARTED_SUFFIX))
    return planted


def plant_at_list_name(case, machine, copylist_host):
    """Puts at CopyList.lis's name what the case's copylist-before field says: a folder, or a
    symbolic or hard link to a file the case planted in the Windows folder."""
    if case.list_name_holder is None:
        return
    kind, _, target = case.list_name_holder.partition(" ")
    os.makedirs(os.path.dirname(copylist_host), exist_ok=True)
    if kind == "folder":
        os.mkdir(copylist_host)
        return
    windows_host = machine.host_path(machine.windows_dir + "\\")
    target_host = os.path.join(windows_host, *target.split("/")[1:])
    if kind == "symbolic-link":
        os.symlink(target_host, copylist_host)
    else:
        os.link(target_host, copylist_host)


def planted_bytes(paths):
    """{host path: bytes} of the files planted in the Windows folder."""
    found = {}
    for path in paths:
        with open(path, "rb") as f:
            found[path] = f.read()
    return found


def run_case(case, machine):
    """Runs one case on the machine; returns the list of problems (empty when it passed)."""
    tokens = Tokens(case, machine)
    machine.reset(case)
    install_host = machine.host_path(tokens.values["InstallDir"])
    package_host = machine.host_path(case.package_dir)
    copylist_host = machine.host_path(machine.temp_dir + "CopyList.lis")

    before_reg = None
    if os.path.exists(case.path("before.reg")):
        before_reg = tokens.fill(case.text("before.reg"), reg_escape)
        machine.write_registry(before_reg)
    if os.path.isdir(case.path("install")):
        copy_case_tree(case.path("install"), install_host, machine.recorder)
    copy_case_tree(case.path("package"), package_host, machine.recorder)
    planted = plant_in_windows_dir(case, machine)
    machine.put_updater(os.path.join(package_host, "setup.exe"))
    copylist_before = None
    if os.path.exists(case.path("copylist-before.lis")):
        with open(case.path("copylist-before.lis"), "rb") as f:
            copylist_before = f.read()
        os.makedirs(os.path.dirname(copylist_host), exist_ok=True)
        with open(copylist_host, "wb") as f:
            f.write(copylist_before)
    plant_at_list_name(case, machine, copylist_host)
    planted_before = planted_bytes(planted)
    for rel in case.fields.get("read-only", []):
        top, _, inner = rel.partition("/")
        base = {"package": package_host, "install": install_host}.get(top)
        if base is None:
            raise CaseError("%s: read-only names a path under package/ or install/" % case.name)
        target = os.path.join(base, *inner.split("/"))
        os.chmod(target, os.stat(target).st_mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))

    problems = []
    boxes = []
    exits = []
    for run in range(case.runs):
        code, run_boxes = machine.run_updater(case.package_dir)
        exits.append(code)
        boxes.extend(run_boxes)
        machine.wait_for_starts(install_host, len(case.started) if run == case.runs - 1 else None)
    starts = machine.starts(install_host)
    # A recorder planted in the Windows folder records a start of a program other than the
    # product's (natively every start is in exec.log already, and these never run).
    wrong_starts = [(program, line) for program in planted
                    for line in WineMachine.read_record(program + STARTED_SUFFIX)]

    if exits != case.exits:
        problems.append("exit codes: expected %s, got %s" % (case.exits, exits))

    want_boxes = [expected_box(tokens, written) for written in case.boxes]
    box_ok = len(want_boxes) == len(boxes) and all(
        kind == got_kind and caption == got_caption and pattern.fullmatch(got_text)
        for (kind, caption, pattern, _), (got_kind, got_caption, got_text)
        in zip(want_boxes, boxes))
    if not box_ok:
        problems.append("message boxes differ")
        for *_, written in want_boxes:
            problems.append("  expected: %s" % written)
        for kind, caption, text in boxes:
            problems.append("  got:      0x%04X %s %s" % (
                kind, "(null)" if caption is None else '"%s"' % caption, escape_log(text)))

    want_starts = [expected_start(tokens, written) for written in case.started]
    start_ok = len(want_starts) == len(starts) and all(
        show == got_show and pattern.fullmatch(got_line)
        for (show, pattern, _), (got_show, got_line) in zip(want_starts, starts))
    if not start_ok:
        problems.append("program starts differ")
        for *_, written in want_starts:
            problems.append("  expected: %s" % written)
        for show, line in starts:
            problems.append("  got:      %s %s" % (show, escape_log(line)))

    for program, line in wrong_starts:
        problems.append("a program of the Windows folder was started: %s, with %s"
                        % (os.path.basename(program), escape_log(line)))
    # The run writes nothing into the Windows folder but InstallDir, whatever leads there.
    for path, data in sorted(planted_before.items()):
        now = planted_bytes([path])[path] if os.path.isfile(path) else None
        if now != data:
            problems.append("a file of the Windows folder changed: %s is %s"
                            % (os.path.basename(path), "gone" if now is None else
                               "%d bytes, not its %d" % (len(now), len(data))))

    key_path = ("HKEY_LOCAL_MACHINE\\Software\\" + case.product_key).lower()
    actual_key = machine.read_key(case.product_key)
    if case.registry == "absent":
        expected_key = None
    elif case.registry == "unchanged":
        if before_reg is None:
            raise CaseError("%s: registry unchanged needs a before.reg" % case.name)
        expected_key = parse_reg(before_reg).get(key_path)
    else:
        expected_key = parse_reg(tokens.fill(case.text("after.reg"), reg_escape)).get(key_path)
        if expected_key is None:
            raise CaseError("%s: after.reg lacks the product's key" % case.name)
    if (expected_key is None) != (actual_key is None):
        problems.append("registry key %s: expected it %s, it is %s" % (
            case.product_key, "absent" if expected_key is None else "present",
            "absent" if actual_key is None else "present"))
    elif expected_key is not None:
        differences = compare_values(expected_key, actual_key)
        if differences:
            problems.append("registry values of %s differ" % case.product_key)
            problems.extend(differences)

    actual_install = (read_tree(install_host, machine.recorder, machine.side_files)
                      if os.path.isdir(install_host) else None)
    if case.install == "absent":
        expected_install = None
    elif case.install == "unchanged":
        expected_install = (read_tree(case.path("install"))
                            if os.path.isdir(case.path("install")) else None)
    else:
        # One or more trees that may each be the outcome, the first the one shown.
        alternatives = [read_tree(case.path(name)) for name in case.install.split()]
        expected_install = next((tree for tree in alternatives if tree == actual_install),
                                alternatives[0])
    if (expected_install is None) != (actual_install is None):
        problems.append("InstallDir: expected it %s, it is %s" % (
            "absent" if expected_install is None else "present",
            "absent" if actual_install is None else "present"))
    elif expected_install is not None:
        differences = compare_trees(expected_install, actual_install)
        if differences:
            problems.append("InstallDir differs")
            problems.extend(differences)

    actual_list = None
    if os.path.isfile(copylist_host):
        with open(copylist_host, "rb") as f:
            actual_list = f.read()
        # The list the run leaves is a file of its own: no link, and its only name.
        if os.path.islink(copylist_host):
            problems.append("CopyList.lis is a symbolic link")
        elif os.stat(copylist_host).st_nlink != 1:
            problems.append("CopyList.lis has %d names" % os.stat(copylist_host).st_nlink)
    if case.copylist == "absent":
        expected_list = None
    elif case.copylist == "unchanged":
        if copylist_before is None:
            raise CaseError("%s: copylist unchanged needs a copylist-before.lis" % case.name)
        expected_list = copylist_before
    else:
        lines = tokens.fill(case.text("copylist.lis")).split("\n")
        while lines and lines[-1] == "":
            lines.pop()
        expected_list = s2b("\r\n".join(lines))
    if (expected_list is None) != (actual_list is None):
        problems.append("CopyList.lis: expected it %s, it is %s" % (
            "absent" if expected_list is None else "present",
            "absent" if actual_list is None else "present"))
    elif expected_list is not None:
        problems.extend(compare_copylist(expected_list, actual_list))
    return problems


# ---- the machines ----

class NativeMachine:
    """A fresh emulated machine per case: WIN32EMU_ROOT, with C: at <root>/drive_c."""

    windows_dir = "C:\\WINDOWS"
    temp_dir = "C:\\TEMP\\"
    recorder = None
    side_files = ()

    def __init__(self, updater, scratch):
        self.updater = updater
        self.scratch = scratch
        self.root = None

    def reset(self, case):
        if self.root is not None:
            remove_tree(self.root)
        self.root = os.path.join(self.scratch, "machine-" + case.name)
        self._seen_messages_log = 0
        self._seen_exec_log = 0
        for folder in ("drive_c/WINDOWS", "drive_c/TEMP"):
            os.makedirs(os.path.join(self.root, folder))
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(b"REGEDIT4\r\n\r\n")

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.root, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def write_registry(self, text):
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(s2b(text.replace("\r\n", "\n").replace("\n", "\r\n")))

    def put_updater(self, path):
        shutil.copy(self.updater, path)

    def run_updater(self, package_dir):
        env = dict(os.environ, WIN32EMU_ROOT=self.root)
        program = os.path.join(self.host_path(package_dir), "setup.exe")
        result = subprocess.run([program], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=60)
        return result.returncode, self.read_log("messages.log", self.consume_box)

    def read_log(self, name, parse):
        path = os.path.join(self.root, name)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            lines = b2s(f.read()).split("\n")
        done = getattr(self, "_seen_" + name.replace(".", "_"), 0)
        setattr(self, "_seen_" + name.replace(".", "_"), len(lines) - 1)
        return [parse(line) for line in lines[done:-1]]

    @staticmethod
    def consume_box(line):
        kind, caption, text = line.split("\t", 2)
        return int(kind, 16), None if caption == "(null)" else caption, unescape(text)

    @staticmethod
    def consume_start(line):
        show, command = line.split("\t", 1)
        return show, unescape(command)

    def wait_for_starts(self, install_host, count):
        pass  # the start is logged before CreateProcessA returns

    def starts(self, install_host):
        self._seen_exec_log = 0
        return self.read_log("exec.log", self.consume_start)

    def read_key(self, product_key):
        with open(os.path.join(self.root, "system.reg"), "rb") as f:
            keys = parse_reg(b2s(f.read()))
        return keys.get(("HKEY_LOCAL_MACHINE\\Software\\" + product_key).lower())

    def close(self):
        if self.root is not None:
            remove_tree(self.root)


class WineMachine:
    """One fresh Wine prefix for the suite, 64-bit where Wine can make one, as the updater
    meets on a 64-bit Windows: the registry view of the shipped 32-bit updater there is the
    32-bit one, that of the 64-bit test build the 64-bit one. Between cases the runner removes
    what a case touches: its registry keys, InstallDir, the package folder and the command
    list."""

    side_files = ("setup.exe" + STARTED_SUFFIX,)

    def __init__(self, updater, recorder_path, scratch):
        self.updater = updater
        with open(recorder_path, "rb") as f:
            self.recorder = f.read() + b"\n"
        self.scratch = scratch
        self.prefix = os.path.join(scratch, "prefix")
        self.program = wine_program.runnable(updater)
        self.env = self.program.env(self.prefix)
        if self.env["WINEARCH"] != "win64":
            print("note: no 64-bit Wine; using a 32-bit prefix", file=sys.stderr)
        self.touched_keys = set()
        self.touched_paths = set()
        os.makedirs(self.prefix)
        # A server that stays between the many short Wine commands of the suite.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self.wine(["wineboot", "-i"], timeout=300)
        self.wine(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                   "/t", "REG_SZ", "/d", "user32.MessageBoxA", "/f"])
        # The recorder also answers the runner's questions about the prefix.
        self.probe = os.path.join(self.prefix, "drive_c", "probe", "probe.exe")
        os.makedirs(os.path.dirname(self.probe))
        shutil.copy(recorder_path, self.probe)
        self.wine(["C:\\probe\\probe.exe", "--where"])
        with open(self.probe + ".where", "rb") as f:
            temp_dir, windows_dir = b2s(f.read()).split("\n")[:2]
        self.temp_dir = temp_dir if temp_dir.endswith("\\") else temp_dir + "\\"
        self.windows_dir = windows_dir

    def wine(self, command, timeout=120, check=True, **kwargs):
        """Runs a Windows program or one of Wine's (wineboot, reg) in the prefix."""
        command = self.program.command(*command)
        result = subprocess.run(command, env=self.env, cwd=self.scratch,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=timeout, **kwargs)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed with %d" % (" ".join(command), result.returncode))
        return result.returncode

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c",
                            *windows_path[3:].rstrip("\\").split("\\"))

    def reset(self, case):
        for key in sorted(self.touched_keys):
            self.wine(["reg", "delete", "HKLM\\Software\\" + key, "/f", self.program.reg_view],
                      check=False)
        for path in sorted(self.touched_paths):
            remove_tree(path)
        self.touched_keys = {case.product_key}
        self.touched_paths = {
            self.host_path(self.windows_dir + "\\" + case.product_key),
            self.host_path(case.package_dir),
            self.host_path(self.temp_dir + "CopyList.lis"),
        }

    def write_registry(self, text):
        for path in parse_reg(text):
            prefix = "hkey_local_machine\\software\\"
            if not path.startswith(prefix) or "\\" in path[len(prefix):]:
                raise CaseError("before.reg may hold only keys HKEY_LOCAL_MACHINE\\Software\\X")
        reg_file = os.path.join(self.scratch, "before.reg")
        with open(reg_file, "wb") as f:
            f.write(s2b(text.replace("\r\n", "\n").replace("\n", "\r\n")))
        # Names as the case writes them, so that reset removes them too.
        for line in text.splitlines():
            m = re.match(r"^\[HKEY_LOCAL_MACHINE\\Software\\(.*)\]\s*$", line, re.I)
            if m:
                self.touched_keys.add(m.group(1))
        self.wine(["reg", "import", reg_file, self.program.reg_view])

    def put_updater(self, path):
        shutil.copy(self.updater, path)

    def run_updater(self, package_dir):
        trace = os.path.join(self.scratch, "relay.txt")
        env = dict(self.env, WINEDEBUG="+relay")
        with open(trace, "wb") as err:
            result = subprocess.run(self.program.command(package_dir + "setup.exe"), env=env,
                                    cwd=self.scratch, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err, timeout=120)
        with open(trace, "rb") as f:
            boxes = parse_relay(b2s(f.read()))
        return result.returncode, boxes

    def wait_for_starts(self, install_host, count):
        """The updater does not wait for the program it starts; the recorder's record tells
        when it has run. With no start expected, a short wait gives a wrong start its time."""
        record = os.path.join(install_host, "setup.exe" + STARTED_SUFFIX)
        deadline = time.monotonic() + (15 if count else 1.0)
        while time.monotonic() < deadline:
            lines = self.read_record(record)
            if count and len(lines) >= count:
                time.sleep(0.3)  # let the recorder end before anything touches its file
                return
            if count is None and lines:
                time.sleep(0.3)
                return
            time.sleep(0.05)

    @staticmethod
    def read_record(record):
        if not os.path.exists(record):
            return []
        with open(record, "rb") as f:
            return [line for line in b2s(f.read()).split("\n") if line]

    def starts(self, install_host):
        record = os.path.join(install_host, "setup.exe" + STARTED_SUFFIX)
        return [tuple(line.split("\t", 1)) for line in self.read_record(record)]

    def read_key(self, product_key):
        """The key's values as the updater reads them, through the recorder of its width: Wine's
        own export shows a text value only up to its first NUL."""
        dump = self.probe + ".dump"
        if os.path.exists(dump):
            os.remove(dump)
        code = self.wine(["C:\\probe\\probe.exe", "--dump", product_key], check=False)
        if code == 2:
            return None
        if code != 0 or not os.path.exists(dump):
            raise RuntimeError("reading the registry key failed with %d" % code)
        with open(dump, "rb") as f:
            return parse_reg(b2s(f.read())).get(
                ("HKEY_LOCAL_MACHINE\\Software\\" + product_key).lower())

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


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


def _read_trace_string(line, i):
    assert line[i] == '"'
    j = i + 1
    while j < len(line):
        if line[j] == "\\":
            j += 2
        elif line[j] == '"':
            return unescape(line[i + 1:j]), j + 1
        else:
            j += 1
    raise RuntimeError("unterminated string in trace: %r" % line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    build = parser.add_mutually_exclusive_group(required=True)
    build.add_argument("--native", action="store_true", help="run the native build")
    build.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("--updater", required=True, help="the built setup.exe")
    parser.add_argument("--recorder", help="the built recorder (Wine only)")
    parser.add_argument("cases", nargs="*", help="case names (default: all)")
    args = parser.parse_args()

    names = args.cases or sorted(n for n in os.listdir(CASES)
                                 if os.path.isfile(os.path.join(CASES, n, "expect")))
    cases = [Case(os.path.join(CASES, name)) for name in names]
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="acceptance.")
    failed = []
    skipped = 0
    machine = None
    try:
        # The suite's own copies, so that a rebuild while it runs does not pull them away.
        updater = os.path.join(scratch, "updater.exe")
        shutil.copy(args.updater, updater)
        if args.wine:
            if not args.recorder:
                parser.error("--wine needs --recorder")
            machine = WineMachine(updater, os.path.abspath(args.recorder), scratch)
        else:
            machine = NativeMachine(updater, scratch)
        build_name = "wine" if args.wine else "native"
        skipped = 0
        for case in cases:
            if build_name not in case.builds:
                skipped += 1
                print("skip %s (%s build only)" % (case.name, " and ".join(case.builds)))
                continue
            try:
                problems = run_case(case, machine)
            except (OSError, subprocess.SubprocessError, RuntimeError, CaseError) as error:
                problems = ["could not run: %s" % error]
            if problems:
                failed.append(case.name)
                print("FAIL %s" % case.name)
                for line in problems:
                    print("     " + line)
            else:
                print("ok   %s" % case.name)
            sys.stdout.flush()
    finally:
        if machine is not None:
            machine.close()
        remove_tree(scratch)
    ran = len(cases) - skipped
    print("%d of %d cases passed in %.0f s" % (ran - len(failed), ran, time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
