"""The acceptance cases, a folder each under tests/acceptance/cases (its README says what a
folder holds): a case as its expect file gives it, and the tokens, boxes and starts it is
written with. The acceptance runner runs them; the package check's cross-check predicts
them."""

import os
import re

from case_error import CaseError
from log_text import b2s, unescape

CASES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                      "acceptance", "cases"))

DEFAULT_PACKAGE_DIR = "C:\\Pkg\\"


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
