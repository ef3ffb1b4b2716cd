"""The acceptance cases, a folder each under tests/acceptance/cases (its README says what a
folder holds), and the cases its table of conditions derives from them: a case as its expect
file or its row gives it, and the tokens, boxes and starts it is written with. The acceptance runner runs them; the package check's cross-check predicts
them."""

import os
import re

from case_error import CaseError
from log_text import b2s, s2b, unescape
from trees import remove_tree

CASES = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                      "acceptance", "cases"))

DEFAULT_PACKAGE_DIR = "C:\\Pkg\\"
CONDITIONS = os.path.join(CASES, "conditions")  # the table of cases derived from others


class Case:
    FIELDS = {"package-dir", "product-key", "read-only", "runs", "exit", "box", "registry",
              "install", "copylist", "started", "builds", "copylist-before", "fault"}

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
        # A condition of the table (see cases/README), none for a case of its own.
        self.set_up = {}
        if "fault" in self.fields:
            if len(self.fields["fault"]) > 1 or self.builds != ["native"]:
                raise CaseError("%s: one fault a run, planted natively only" % self.name)
            self.set_up["fault"] = self.fields["fault"]
        self.written_before = []  # values a refused run writes before its look-ahead

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


CONDITION_FIELDS = {"base", "builds", "package-dir", "temp-folder", "set-inf-line-1", "remove",
                    "add", "fault", "read-only", "written", "refused", "complete", "code-page"}


def expand_repeats(text):
    """{c*N} stands for the character c N times, so that long names stay readable."""
    return re.sub(r"\{(.)\*(\d+)\}", lambda m: m.group(1) * int(m.group(2)), text)


def read_conditions(path=CONDITIONS):
    """The cases of the table of conditions: each row derives a case from a base case, with a
    set-up of its own and one of two outcomes, the base's complete run or a refusal that
    leaves the product, its record and the command list as they were."""
    cases = []
    if not os.path.exists(path):
        return cases
    with open(path, encoding="utf-8") as f:
        rows = [line.rstrip("\n") for line in f]
    joined = []
    for line in rows:  # a row goes on over lines that start with a blank
        if line.startswith((" ", "\t")) and joined and line.strip():
            joined[-1] += " " + line.strip()
        elif line.strip() and not line.startswith("#"):
            joined.append(line)
    for row in joined:
        name, *parts = [part.strip() for part in row.split(" | ")]
        fields = {}
        for part in parts:
            key, sep, value = part.partition(": ")
            if not sep or key not in CONDITION_FIELDS:
                raise CaseError("conditions: %s: unknown field %r" % (name, part))
            fields.setdefault(key, []).append(expand_repeats(value))
        if "base" not in fields or ("refused" in fields) == ("complete" in fields):
            raise CaseError("conditions: %s needs a base and one outcome" % name)
        case = Case(os.path.join(CASES, fields["base"][0]))
        case.name = name
        case.builds = fields.get("builds", ["native wine"])[0].split()
        if "package-dir" in fields:
            case.package_dir = fields["package-dir"][0]
        if "read-only" in fields:
            case.fields["read-only"] = fields["read-only"]
        if "complete" in fields and fields["complete"] != ["as the base"]:
            raise CaseError("conditions: %s: complete is \"as the base\"" % name)
        case.set_up = {key: fields[key] for key in ("code-page", "temp-folder", "set-inf-line-1",
                                                    "remove", "add", "fault") if key in fields}
        if len(fields.get("fault", [])) > 1:
            raise CaseError("conditions: %s: one fault a run" % name)
        if "fault" in fields and case.builds != ["native"]:
            raise CaseError("conditions: %s: a fault is planted natively only" % name)
        if "refused" in fields:
            case.exits = [1] * case.runs
            case.boxes = ['0x2010 "Application Error" Exception EInOutError in module setup.exe'
                          ' at {ADDR}.\\n' + fields["refused"][0] + "."]
            case.registry = "unchanged"
            case.written_before = [tuple(w.split("=", 1)) for w in fields.get("written", [])]
            case.install = "unchanged" if os.path.isdir(case.path("install")) else "absent"
            case.copylist = ("unchanged" if os.path.exists(case.path("copylist-before.lis"))
                             else "absent")
            case.started = []
        cases.append(case)
    return cases


def apply_set_up(case, machine, package_host):
    """The condition's changes to the package and the machine, before the run."""
    for code_page in case.set_up.get("code-page", []):
        machine.set_code_page(code_page)
    for rel in case.set_up.get("remove", []):
        top, _, inner = rel.partition("/")
        if top != "package":
            raise CaseError("%s: remove names a path under package/" % case.name)
        remove_tree(os.path.join(package_host, *inner.split("/")))
    for entry in case.set_up.get("add", []):
        rel, _, text = entry.partition(" ")
        top, _, inner = rel.partition("/")
        if top != "package":
            raise CaseError("%s: add names a path under package/" % case.name)
        target = os.path.join(package_host, *inner.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(text.encode("utf-8"))
    for line in case.set_up.get("set-inf-line-1", []):
        set_inf = os.path.join(package_host, "set.inf")
        with open(set_inf, "rb") as f:
            rest = f.read().split(b"\n", 1)[1]
        with open(set_inf, "wb") as f:
            f.write(s2b("" if line == "(empty)" else unescape(line)) + b"\r\n" + rest)
    for folder in case.set_up.get("temp-folder", []):
        machine.set_temp_folder(folder)


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
