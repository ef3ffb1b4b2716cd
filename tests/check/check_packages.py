#!/usr/bin/env python3
"""The package check against small packages, and against the acceptance cases' real runs.

  findings --check PROGRAM --updater setup.exe
                                one small package per finding, and hostile packages; and
                                the documentation against the code (documented.py)
  cross --check PROGRAM [--updater setup.exe [--seed N] [--cases N]]
                                for every acceptance case, the end and the registry writes
                                that the check predicts equal what the real run did; with the
                                updater, also generated packages and records, each predicted
                                and run on a fresh emulated machine
  wine --check PROGRAM.exe      the Windows build once under Wine, on a package with planted
                                mistakes and a version 5.00 (UTF-16) record, and on a Cyrillic
                                record through code pages 1251 and 1252

Each suite also takes --launcher-files LISTER, the same build's list_launcher_files, for the
launcher files' names. The native program runs on the emulated machine of WIN32EMU_ROOT
(fresh-machine gives one).
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import acceptance_cases  # the acceptance cases' own reader of their folders
import documented  # the documentation against the code and real runs
import wine_program  # the loader, prefix and registry view of a Windows program
from launcher_files import read_launcher_files
from log_text import b2s, s2b, unescape
from registry_text import REG_DWORD, REG_SZ, compare_values, parse_reg, reg_escape
from trees import remove_tree

# The launcher files as the build names them: main reads them from list_launcher_files before
# any package is made.
LAUNCHERS = []


def crlf(*lines):
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def utf16_export(text):
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


def options_inf(key):
    return crlf("Brask Quests Installer", key, *["option %d" % n for n in range(3, 15)])


def good_package():
    """A package with nothing wrong: {relative path: bytes, or None for a folder}."""
    files = {
        "options.inf": options_inf("BraskQuestsInstallerPallum"),
        "set.inf": crlf("Quests", "Pallum quests", "1.00", "Pallum 2.2", "[end]"),
        "uninstall.inf": b"uninstall\r\n",
        "Quests/a.txt": b"a",
        "Quests/Maps/m.map": b"m",
    }
    for name in LAUNCHERS:
        files["NewExe/" + name] = name.encode()
    files["NewExe/options.inf"] = options_inf("BraskQuestsInstallerPallum")
    return files


def changed(changes):
    """The good package with files replaced or added (bytes), or removed with what they hold
    (None); a path ending in '/' makes an empty folder."""
    files = good_package()
    for path, data in changes.items():
        if data is None:
            files = {p: d for p, d in files.items() if p != path and not p.startswith(path + "/")}
        else:
            files[path] = data
    return files


def write_package(root, files):
    """Writes the files under root; names are 8-bit, as the package's are (latin-1 stands for
    the bytes), in code page 1252, the machine's: on the host they are UTF-8, as Wine reads
    them."""
    os.makedirs(root)
    for path, data in files.items():
        target = os.path.join(os.fsencode(root), *[p.encode("latin-1").decode("cp1252").encode()
                                                   for p in path.split("/")])
        if path.endswith("/"):
            os.makedirs(target, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)



def finding_cases():
    """Each finding: the package, then the findings expected as (code, file, line) (line None
    for a path), exactly: no other finding may come with them."""
    return [
        ("clean", good_package(), []),
        ("options.inf missing", changed({"options.inf": None}),
         [("options-inf-unread", "options.inf", None)]),
        ("set.inf missing", changed({"set.inf": None}), [("set-inf-unread", "set.inf", None)]),
        ("product key empty", changed({"options.inf": options_inf(""),
                                       "NewExe/options.inf": options_inf("")}),
         [("product-key-empty", "options.inf", 2)]),
        ("content folder missing", changed({"Quests": None}),
         [("content-folder-missing", "set.inf", 1)]),
        ("content folder named otherwise",
         changed({"set.inf": crlf("Quest", "x", "1.00", "[end]")}),
         [("content-folder-missing", "set.inf", 1)]),
        ("content folder name empty", changed({"set.inf": crlf("", "x", "1.00", "[end]")}),
         [("content-folder-missing", "set.inf", 1)]),
        ("content folder with a backslash",
         changed({"set.inf": crlf("Quests\\Maps", "x", "1.00", "[end]")}),
         [("content-folder-backslash", "set.inf", 1)]),
        ("NewExe options.inf of another product",
         changed({"NewExe/options.inf": options_inf("BraskQuestsInstallerOriginal")}),
         [("new-exe-product-key", "NewExe\\options.inf", 2)]),
        ("version with blanks", changed({"set.inf": crlf("Quests", "x", "1.00 ", "\t2.2", "[end]")}),
         [("version-blank", "set.inf", 3), ("version-blank", "set.inf", 4)]),
        ("empty version", changed({"set.inf": crlf("Quests", "x", "1.00", "", "[end]")}),
         [("version-empty", "set.inf", 4)]),
        ("duplicate version", changed({"set.inf": crlf("Quests", "x", "1.00", "2.2", "1.00", "[end]")}),
         [("version-duplicate", "set.inf", 5)]),
        ("no [end]", changed({"set.inf": crlf("Quests", "x", "1.00", "[END]")}),
         [("no-end", "set.inf", 4)]),
        ("lines after [end]", changed({"set.inf": crlf("Quests", "x", "1.00", "[end]", "2.2")}),
         [("after-end", "set.inf", 5)]),
        ("only empty lines after [end]", changed({"set.inf": crlf("Quests", "x", "1.00", "[end]", "")}),
         []),
        ("NewExe lacks launchers", changed({"NewExe/UnTv.exe": None, "NewExe/fon.bmp": None}),
         [("new-exe-incomplete", "NewExe\\", None)]),
        ("NewExe holds other files", changed({"NewExe/notes.txt": b"n", "NewExe/Setup/": b""}),
         [("new-exe-other", "NewExe\\notes.txt", None), ("new-exe-other", "NewExe\\Setup", None)]),
        ("no uninstall.inf", changed({"uninstall.inf": None}),
         [("no-uninstall", "uninstall.inf", None)]),
        # C:\WINDOWS\BraskQuestsInstallerPallum\Quests\ is 45 characters: names of 214 and 215.
        ("long destinations", changed({"Quests/" + "d" * 210 + ".txt": b"x",
                                       "Quests/" + "e" * 211 + ".txt": b"x"}),
         [("long-destination", "Quests\\" + "e" * 211 + ".txt", None)]),
        # Folders: with the final \, 247 characters are made and 248 are not.
        ("long folder destinations", changed({"Quests/" + "f" * 201 + "/x.txt": b"x",
                                              "Quests/" + "g" * 202 + "/y.txt": b"x"}),
         [("long-folder-destination", "Quests\\" + "g" * 202, None)]),
        ("names outside ASCII", changed({"Quests/caf\xe9.txt": b"x"}),
         [("non-ascii-name", "Quests\\caf\xe9.txt", None)]),
        ("empty content folder", changed({"Quests": None, "Quests/": b""}),
         [("content-empty", "Quests\\", None)]),
        # Names as Windows finds them: without regard to case, trailing dots dropped.
        ("content folder named in another case",
         changed({"set.inf": crlf("quests", "x", "1.00", "[end]")}), []),
        ("description files and NewExe in other cases",
         {("newexe/" + p[7:] if p.startswith("NewExe/") else
           {"set.inf": "Set.inf", "options.inf": "Options.INF"}.get(p, p)): d
          for p, d in good_package().items()}, []),
        ("launcher files in other cases",
         {({"NewExe/setup.exe": "NewExe/Setup.exe", "NewExe/UnTv.exe": "NewExe/UNTV.EXE",
            "NewExe/fon.bmp": "NewExe/Fon.BMP"}.get(p, p)): d for p, d in good_package().items()},
         []),
        ("content folders whose names differ only in case",
         changed({"Quests/maps/n.map": b"n", "Quests/\xc9t\xe9/a": b"a", "Quests/\xe9T\xc9/b": b"b"}),
         [("content-case-clash", "Quests\\maps", None), ("content-case-clash", "Quests\\\xe9T\xc9", None),
          ("non-ascii-name", "Quests\\\xc9t\xe9", None), ("non-ascii-name", "Quests\\\xe9T\xc9", None)]),
        ("content folder named with a trailing dot",
         changed({"set.inf": crlf("Quests.", "x", "1.00", "[end]")}), []),
        ("content folder with a slash", changed({"set.inf": crlf("Quests/Maps", "x", "1.00", "[end]")}),
         [("content-folder-slash", "set.inf", 1)]),
        ("content folder . or ..", changed({"set.inf": crlf("Quests\\..\\..", "x", "1.00", "[end]")}),
         [("content-folder-dots", "set.inf", 1)]),
        ("content folder with a trailing backslash",
         changed({"set.inf": crlf("Quests\\", "x", "1.00", "[end]")}),
         [("content-folder-trailing-backslash", "set.inf", 1)]),
        ("product key ending in a blank",
         changed({"options.inf": options_inf("BraskQuestsInstallerPallum "),
                  "NewExe/options.inf": options_inf("BraskQuestsInstallerPallum ")}),
         [("product-key-blank", "options.inf", 2)]),
        ("no version entries", changed({"set.inf": crlf("Quests", "x", "[end]")}),
         [("version-list-empty", "set.inf", 3)]),
        # The encoding mistakes of an editor, named where the run reads another text.
        ("options.inf saved as UTF-16",
         changed({"NewExe": None, "options.inf": b"\xff\xfe" + options_inf("BraskQuestsInstallerPallum")
                  .decode("latin-1").encode("utf-16-le")}),
         [("text-utf16", "options.inf", None), ("product-key-empty", "options.inf", 2)]),
        ("set.inf with a byte order mark", changed({"set.inf": b"\xef\xbb\xbf" + crlf(
            "Quests", "x", "1.00", "[end]")}),
         [("text-utf8-bom", "set.inf", 1), ("content-folder-missing", "set.inf", 1),
          ("non-ascii-name", "set.inf", 1)]),
        ("set.inf with CR line ends", changed({"set.inf": b"Quests\rx\r1.00\r[end]\r"}),
         [("text-cr-line-ends", "set.inf", None), ("content-folder-missing", "set.inf", 1),
          ("no-end", "set.inf", 2), ("version-list-empty", "set.inf", 2)]),
        ("options.inf with NUL bytes", changed({"options.inf": options_inf("BraskQuestsInstallerPallum")
                                                + b"\0\r\n"}),
         [("text-nul-bytes", "options.inf", 15)]),
        ("content folder named as the launcher files' keep",
         {("OldExe/" + p[7:] if p.startswith("Quests/") else p): d for p, d in
          changed({"set.inf": crlf("oldexe", "x", "1.00", "[end]")}).items()},
         [("content-folder-oldexe", "set.inf", 1)]),
    ]


def run_check(program, args, wine=None, wine_env=None, timeout=300):
    command = ([program] if wine is None else wine.command(program)) + args
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=timeout, env=wine_env)
    return result.returncode, result.stdout, result.stderr


# Every finding code that the check's output has shown, for the documentation's check.
SEEN_CODES = set()


def findings_of(output):
    report = json.loads(output.decode("ascii"))
    SEEN_CODES.update(f["code"] for f in report["findings"])
    return report, sorted((f["code"], f["file"], f["line"]) for f in report["findings"])


def test_findings(program, scratch):
    failures = []
    for number, (name, files, expected) in enumerate(finding_cases()):
        root = os.path.join(scratch, "p%d" % number)
        write_package(root, files)
        code, out, err = run_check(program, ["--json", root])
        try:
            _, got = findings_of(out)
        except ValueError as error:
            failures.append("%s: no JSON (%s): %r" % (name, error, err[-300:]))
            continue
        want = sorted((c, f, l) for c, f, l in expected)
        want_exit = 2 if any(c in ERROR_CODES for c, _, _ in expected) else 0
        if got != want or code != want_exit:
            failures.append("%s: expected %s and exit %d, got %s and exit %d"
                            % (name, want, want_exit, got, code))
        strict, _, _ = run_check(program, ["--strict", root])
        want_strict = want_exit if want_exit else (1 if expected else 0)
        if strict != want_strict:
            failures.append("%s: --strict exit %d, expected %d" % (name, strict, want_strict))
    failures += test_hostile(program, scratch)
    failures += test_usage(program, scratch)
    return failures


ERROR_CODES = {"options-inf-unread", "set-inf-unread", "product-key-empty",
               "content-folder-missing", "content-folder-backslash", "new-exe-product-key",
               "long-folder-destination", "long-destination", "content-endless",
               "content-case-clash", "content-folder-slash", "content-folder-dots",
               "product-key-blank", "version-list-empty", "content-link-loop", "name-not-shown",
               "content-unread", "new-exe-unread", "uninstall-unread", "text-utf16",
               "text-utf8-bom", "text-cr-line-ends", "text-too-long"}


def test_hostile(program, scratch):
    """Binary files, a huge line and a deep tree get findings and a normal exit."""
    failures = []
    deep = "Quests/" + "/".join(["d"] * 300) + "/x.txt"
    cases = [
        ("binary files", changed({"options.inf": bytes(range(256)) * 64,
                                  "set.inf": bytes(range(255, -1, -1)) * 64})),
        ("a huge line", changed({"set.inf": crlf("Quests", "x", "v" * (8 << 20), "[end]")})),
        ("a deep tree", changed({deep: b"x"})),
    ]
    for number, (name, files) in enumerate(cases):
        root = os.path.join(scratch, "h%d" % number)
        write_package(root, files)
        for args in (["--json", root], [root]):
            code, out, err = run_check(program, args)
            if code not in (0, 2) or not out:
                failures.append("%s: exit %d, %d bytes out: %r" % (name, code, len(out), err[-300:]))
        try:
            report, _ = findings_of(run_check(program, ["--json", root])[1])
        except ValueError:
            failures.append("%s: output is no JSON" % name)
            continue
        codes = [f["code"] for f in report["findings"]]
        if name == "a deep tree" and codes.count("long-folder-destination") != 1:
            failures.append("a deep tree: not one finding of its first folder too long to make")
    # Two links back into the content folder make its tree endless: the walk stops.
    root = os.path.join(scratch, "loop")
    write_package(root, changed({}))
    for link in ("a", "b"):
        os.symlink(".", os.path.join(root, "Quests", link))
    try:
        code, out, _ = run_check(program, ["--json", root], timeout=60)
        if code != 2 or [f["code"] for f in json.loads(out)["findings"]] != ["content-link-loop"] * 2:
            failures.append("links back into the content folder: exit %d, %r" % (code, out[-300:]))
    except subprocess.TimeoutExpired:
        failures.append("links back into the content folder: the check did not end in 60 s")
    # A description file that never ends: the check reads a bounded part of it.
    root = os.path.join(scratch, "zero")
    write_package(root, changed({"set.inf": None}))
    os.symlink("/dev/zero", os.path.join(root, "set.inf"))
    try:
        _, got = findings_of(run_check(program, ["--json", root], timeout=60)[1])
        if ("text-too-long", "set.inf", None) not in got:
            failures.append("set.inf linked to /dev/zero: %s" % got)
    except subprocess.TimeoutExpired:
        failures.append("set.inf linked to /dev/zero: the check did not end in 60 s")
    # The text report shows invisible bytes: a byte order mark is not the folder's name.
    root = os.path.join(scratch, "bom")
    write_package(root, changed({"set.inf": b"\xef\xbb\xbf" + crlf("Quests", "x", "1.00", "[end]")}))
    out = run_check(program, [root])[1]
    if b'"\\xEF\\xBB\\xBFQuests"' not in out or any(b >= 0x80 for b in out):
        failures.append("a byte order mark in the text report: %r" % out)
    # A flat folder of more files than any package holds: the walk stops, and says so.
    root = os.path.join(scratch, "flat")
    write_package(root, changed({"Quests/Maps": None}))
    for n in range(200001):
        open(os.path.join(root, "Quests", "f%06d" % n), "wb").close()
    code, out, _ = run_check(program, [root], timeout=120)
    if code != 2 or b"more than 200000 entries" not in out or b"link" in out:
        failures.append("a flat folder of 200,001 files: exit %d, %r" % (code, out[-300:]))
    # A name that code page 1252 cannot hold is listed with "?": the run refuses it.
    root = os.path.join(scratch, "cyrillic")
    write_package(root, changed({}))
    open(os.path.join(root, "Quests", "Пещера.qst"), "wb").close()
    _, got = findings_of(run_check(program, ["--json", root])[1])
    if got != [("name-not-shown", "Quests\\??????.qst", None)]:
        failures.append("a name outside the code page: %s" % got)
    # The same name on the users' machines of code page 1251 is theirs (bytes beyond ASCII, as
    # any such name), and --codepage says so; 1250 lacks it as 1252 does.
    in_1251 = "Quests\\" + "Пещера".encode("cp1251").decode("latin-1") + ".qst"
    for code_page, want in (("1251", [("non-ascii-name", in_1251, None)]), ("1250", [("name-not-shown", "Quests\\??????.qst",
                                                      None)])):
        _, got = findings_of(run_check(program, ["--json", "--codepage", code_page, root])[1])
        if got != want:
            failures.append("a Cyrillic name under --codepage %s: %s" % (code_page, got))
    # A read-only launcher file: the one installed from it would be read-only too.
    root = os.path.join(scratch, "read-only")
    write_package(root, changed({}))
    os.chmod(os.path.join(root, "NewExe", "fon.bmp"), 0o444)
    code, out, _ = run_check(program, ["--json", root])
    got = findings_of(out)[1] if out else None
    if code != 0 or got != [("new-exe-read-only", "NewExe\\fon.bmp", None)]:
        failures.append("read-only NewExe\\fon.bmp: exit %d, %s" % (code, got))
    # Files that cannot be read: the emulated machine fails the check's opening of each.
    root = os.path.join(scratch, "unread")
    write_package(root, changed({}))
    for path, want in (("NewExe\\fon.bmp", "new-exe-unread"), ("Quests\\a.txt", "content-unread"),
                       ("uninstall.inf", "uninstall-unread")):
        got = unread_findings(program, root, path)
        if got != [(want, path, None)]:
            failures.append("%s unreadable: %s" % (path, got))
    return failures


def unread_findings(program, root, path):
    """The findings when the check's last opening of `path` for reading fails with 5."""
    trace = os.path.join(os.path.dirname(root), "trace")
    run_check(program, ["--json", root], wine_env=dict(os.environ, WIN32EMU_TRACE=trace))
    with open(trace, "rb") as f:
        calls = [line.split(b"\t") for line in f.read().splitlines()]
    os.remove(trace)
    subject = path.replace("\\", "\\\\").encode()  # log-escaped
    number = [c[0] for c in calls if c[1] == b"CreateFileA" and c[2].endswith(subject)][-1]
    env = dict(os.environ, WIN32EMU_FAULT="%s:5" % number.decode())
    return findings_of(run_check(program, ["--json", root], wine_env=env)[1])[1]


def test_usage(program, scratch):
    failures = []
    root = os.path.join(scratch, "p0")
    bad_record = os.path.join(scratch, "bad.reg")
    with open(bad_record, "wb") as f:
        f.write(b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n\"v\"=nonsense\r\n")
    empty_record = os.path.join(scratch, "empty.reg")
    open(empty_record, "wb").close()
    good_record = os.path.join(scratch, "good.reg")
    with open(good_record, "wb") as f:
        f.write(b"REGEDIT4\r\n\r\n")
    for args, problem in ((["--json"], "no package folder"), (["--bogus", root], "unknown option"),
                          (["--record"], "needs a value"),
                          (["--record", bad_record, root], "bad.reg:4"),
                          (["--record", empty_record, root], "empty.reg: empty"),
                          (["--record", bad_record, "--record", good_record, root],
                           "--record given twice"),
                          (["--package-dir", "C:\\A", "--package-dir", "C:\\B", root],
                           "--package-dir given twice"),
                          (["--json", "--json", root], "--json given twice"),
                          (["--strict", root, "--strict"], "--strict given twice"),
                          (["--codepage", "1250", "--codepage", "1251", root],
                           "--codepage given twice"),
                          (["--codepage", "1252", "--codepage", "1252", root],
                           "--codepage given twice"),
                          (["--record", good_record, "--expect", "complete", "--expect",
                            "complete", root], "--expect given twice"),
                          ([os.path.join(scratch, "nowhere")], "no such folder"),
                          ([os.path.join(root, "set.inf")], "no such folder"),
                          (["--codepage", "866", root], "code page 866"),
                          (["--expect", "complete", root], "--expect needs --record"),
                          (["--record", good_record, "--expect", "fine", root], "no such end")):
        code, out, err = run_check(program, args)
        if code != 64 or problem.encode() not in err or out:
            failures.append("usage %s: exit %d, stderr %r" % (args, code, err[:200]))
    # Host paths are the host's: a package deeper than Windows' path limit, named from inside
    # the emulated C: drive, with its record by an absolute path, is checked clean.
    deep = os.path.join(scratch, *["folder%03d" % n for n in range(30)])
    write_package(deep, good_package())
    inside = os.path.join(os.environ.get("WIN32EMU_ROOT", scratch), "drive_c")
    os.makedirs(inside, exist_ok=True)
    for args in (["--", deep], ["--json", "--record", good_record, "--", deep]):
        result = subprocess.run([program] + args, cwd=inside, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60)
        if result.returncode != 0 or b"0 errors, 0 warnings" not in result.stdout and not (
                args[0] == "--json" and b'"errors": 0' in result.stdout):
            failures.append("host path %s: exit %d, %r %r" % (args, result.returncode,
                                                              result.stdout[:300], result.stderr[:300]))
    return failures


# ---- the cross-check ----

# Cases that rest on what the check cannot see, with the reason.
EXCLUDED = {
    "list-folder-at-its-name": "a folder at CopyList.lis's name in the user's temporary folder "
                               "ends the run; the check does not see the temporary folder",
}
# Conditions of the acceptance table that lie on the user's machine, which the check does not
# see: the temporary folder, a file another program holds or that cannot be read, a read-only
# installed file, a code page.
MACHINE_CONDITIONS = ("temp-folder", "fault", "code-page")
MACHINE_CONDITION_CASES = {"refused-launcher-read-only",
                           # the names the user's code page cannot hold
                           "refused-content-names-out-of-code-page"}


class CheckMachine:
    """The machine the native check runs on: of the machine's conditions, its code page."""
    windows_dir = "C:\\WINDOWS"
    temp_dir = "C:\\TEMP\\"

    @staticmethod
    def code_page_file():
        return os.path.join(os.environ["WIN32EMU_ROOT"], "codepage")

    def set_code_page(self, code_page):
        os.makedirs(os.environ["WIN32EMU_ROOT"], exist_ok=True)
        with open(self.code_page_file(), "w") as f:
            f.write(code_page + "\n")

    def reset(self):
        if os.path.exists(self.code_page_file()):
            os.remove(self.code_page_file())


def written_value(write):
    if write["type"] == "REG_DWORD":
        return (write["name"], REG_DWORD, int(write["data"]).to_bytes(4, "little"))
    return (write["name"], REG_SZ, s2b(write["data"]) + b"\0")


def checked_package(case, scratch):
    """The case's package as its run meets it: a condition of the table changes its base's."""
    if not case.set_up:
        return case.path("package")
    package = os.path.join(scratch, "package")
    remove_tree(package)
    shutil.copytree(case.path("package"), package)
    acceptance_cases.apply_set_up(case, CheckMachine(), package)
    return package


def predicted_run(program, case, record_text, content_there, scratch):
    """The end, the writes, the start and whether it copied the content, of one run, and the
    content folder. `content_there` None: as the case's install/ tree has it."""
    record = os.path.join(scratch, "record.reg")
    with open(record, "wb") as f:
        f.write(s2b(record_text))
    code_page = case.set_up.get("code-page", ["1252"])[0]
    _, out, _ = run_check(program, ["--json", "--record", record, "--package-dir",
                                    case.package_dir, "--codepage", code_page,
                                    checked_package(case, scratch)])
    report = json.loads(out.decode("ascii"))
    prediction = report["record"]
    run = {"prediction": prediction, "end": prediction["end"], "writes": prediction["writes"],
           "started": None, "copied": False}
    if prediction["end"] is not None:
        return run
    if content_there is None:
        install = case.path("install")
        content_there = bool(report["content_folder"]) and os.path.isdir(
            os.path.join(install, report["content_folder"]))
    if not os.path.isdir(case.path("install")):
        when = "install-dir-missing"
    elif content_there:
        when = "content-folder-present"
    else:
        when = "content-folder-absent"
    outcomes = {o["when"]: o for o in prediction["content_stage"]}
    if when not in outcomes:
        when = "content-folder-present"  # no content folder named: the product's folder
    outcome = outcomes[when]
    writes = prediction["writes"]
    if outcome["refused_before_changes"]:
        writes = writes[:prediction["writes_before_look_ahead"]]
    run.update(end=outcome["end"], writes=writes + outcome["writes"],
               started=outcome["started"], copied=outcome["content_copied"])
    return run


def repeated_run(run):
    """The run the prediction shows for a start after `run`, where `run` completed: its whole
    writes are its own, on the record as `run` left it."""
    if run["end"]["kind"] != "complete" or not run["copied"]:
        return None
    prediction = run["prediction"]
    outcome = {o["when"]: o for o in prediction["content_stage"]}["completed-before"]
    return {"prediction": prediction, "end": outcome["end"], "writes": outcome["writes"],
            "started": outcome["started"], "copied": outcome["content_copied"]}


def box_of(end):
    box = end.get("box")
    if box is None:
        return None
    if end["kind"] == "error-box":
        return (0x2010, "Application Error", "Exception %s in module setup.exe at 00000000.\n%s"
                % (box["class"], box["message"]))
    return (0, None, box["text"])


def cross_check_case(program, case, scratch):
    tokens = acceptance_cases.Tokens(case, CheckMachine())
    record_text = (tokens.fill(case.text("before.reg"), reg_escape) if os.path.exists(case.path("before.reg"))
                   else "REGEDIT4\r\n\r\n")
    before_keys = parse_reg(record_text)
    exits, boxes, starts, all_writes = [], [], [], []
    key_path = None
    content_there = None
    again = None  # the run predicted for a start after a complete run of this package
    for _ in range(case.runs):
        run = again or predicted_run(program, case, record_text, content_there, scratch)
        again = repeated_run(run)
        end = run["end"]
        exits.append(end["exit_code"])
        if box_of(end) is not None:
            boxes.append(box_of(end))
        if run["started"] is not None:
            starts.append(("1", run["started"]))
        all_writes += run["writes"]
        if run["prediction"]["key_found"]:
            key_path = ("HKEY_LOCAL_MACHINE\\" + run["prediction"]["key"]).lower()
            # The next run meets the record as this one left it, and the content it copied.
            keys = parse_reg(record_text)
            values = keys[key_path]
            for write in run["writes"]:
                name, kind, data = written_value(write)
                values[name.lower()] = (values.get(name.lower(), (name,))[0], kind, data)
            record_text = records_text(keys)
        if run["copied"]:
            content_there = True

    problems = []
    if exits != case.exits:
        problems.append("exit codes: predicted %s, the run %s" % (exits, case.exits))
    expected_boxes = [acceptance_cases.expected_box(tokens, b) for b in case.boxes]
    if len(boxes) != len(expected_boxes) or any(
            (kind, caption) != (want[0], want[1]) or not want[2].fullmatch(text)
            for (kind, caption, text), want in zip(boxes, expected_boxes)):
        problems.append("boxes: predicted %r, the run %r" % (boxes, case.boxes))
    expected_starts = [acceptance_cases.expected_start(tokens, s) for s in case.started]
    if len(starts) != len(expected_starts) or any(
            show != want[0] or not want[1].fullmatch(command)
            for (show, command), want in zip(starts, expected_starts)):
        problems.append("starts: predicted %r, the run %r" % (starts, case.started))
    problems += compare_registry(case, tokens, before_keys, key_path, all_writes)
    return problems


def records_text(keys):
    lines = ["REGEDIT4", ""]
    for path, values in keys.items():
        lines.append("[%s]" % path)
        for name, kind, data in values.values():
            lines.append('"%s"=hex(%x):%s' % (reg_escape(name), kind, data.hex(",")))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def compare_registry(case, tokens, before_keys, key_path, writes):
    if case.registry == "absent":
        return [] if key_path is None and not writes else ["registry: predicted a record"]
    if case.registry == "unchanged":
        made = [(write["name"], write["data"]) for write in writes]
        return [] if made == case.written_before else [
            "registry: predicted writes %r, the run %r" % (writes, case.written_before)]
    after_keys = parse_reg(tokens.fill(case.text("after.reg"), reg_escape))
    if key_path is None or key_path not in after_keys:
        return ["registry: the check found no record where the run wrote one"]
    predicted = dict(before_keys.get(key_path, {}))
    new_names = []
    for write in writes:
        name, kind, data = written_value(write)
        lower = name.lower()
        if lower not in predicted and lower not in new_names:
            new_names.append(lower)
        predicted[lower] = (predicted.get(lower, (name,))[0], kind, data)
    problems = compare_values(after_keys[key_path], predicted)
    after_new = [n for n in after_keys[key_path] if n not in before_keys.get(key_path, {})]
    if not problems and after_new != new_names:
        problems.append("registry: new values in the order %s, the run %s"
                        % (new_names, after_new))
    return ["registry:"] + problems if problems else []


def test_cross(program, scratch):
    failures = []
    names = sorted(n for n in os.listdir(acceptance_cases.CASES)
                   if os.path.isfile(os.path.join(acceptance_cases.CASES, n, "expect")))
    checked = 0
    excluded = len(EXCLUDED)
    cases = [acceptance_cases.Case(os.path.join(acceptance_cases.CASES, name)) for name in names]
    for case in cases + acceptance_cases.read_conditions():
        name = case.name
        if name in EXCLUDED:
            print("excluded %s: %s" % (name, EXCLUDED[name]))
            continue
        if set(case.set_up) & set(MACHINE_CONDITIONS) or name in MACHINE_CONDITION_CASES:
            excluded += 1
            print("excluded %s: a condition of the user's machine" % name)
            continue
        try:
            problems = cross_check_case(program, case, scratch)
        finally:
            CheckMachine().reset()
        checked += 1
        if problems:
            failures.append(name + ":\n    " + "\n    ".join(problems))
    print("cross-checked %d cases, %d excluded" % (checked, excluded))
    return failures


# ---- predictions on given records ----

def wide_export(*values):
    """A version 5.00 export of the Pallum product's record, in UTF-16 as Windows writes it."""
    return utf16_export("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\"
                        "BraskQuestsInstallerPallum]\n" + "".join('"%s"="%s"\n' % v for v in values)
                        + "\n")


CYRILLIC = "\u041f\u0435\u0449\u0435\u0440\u0430 1"  # in code page 1251, not in 1252
CYRILLIC_SET = {"set.inf": crlf("Quests", "x", "1.00") + CYRILLIC.encode("cp1251") + b"\r\n[end]\r\n"}

def prediction_cases():
    """The package, the record, the options, then the end where the content folder is not in
    the product's folder, the exit code, and the box there as (caption, text) or None."""
    return [
        ("a wide export read through code page 1251", changed(CYRILLIC_SET),
         wide_export(("ProductVersion", CYRILLIC), ("Version", "1.3.1")),
         ["--codepage", "1251", "--expect", "complete"], "complete", 0, None),
        ("a character code page 1252 lacks: the version comparison cannot be told",
         changed(CYRILLIC_SET), wide_export(("ProductVersion", CYRILLIC), ("Version", "1.3.1")),
         ["--expect", "complete"], "cannot-tell", 3, None),
        ("a Latin-1 version read through code page 1252", changed({}),
         wide_export(("ProductVersion", "Pallum 2.2"), ("Version", "1.2")),
         ["--expect", "complete"], "complete", 0, None),
        ("a box stops at a NUL", changed({"set.inf": crlf("Quests", "x", "1.00", "Pall\0um 3", "[end]")}),
         wide_export(("ProductVersion", "Pallum 9"), ("Version", "1.3.1")),
         ["--expect", "refused-version-not-listed"], "refused-version-not-listed", 0,
         ("Error", "This updater can update only Pall")),
        ("the error box's text as the user sees it", changed({"Quests": None}),
         wide_export(("ProductVersion", "Pallum 2.2"), ("Version", "1.3.1")),
         ["--expect", "complete"], "error-box", 2,
         ("Application Error", "Exception EInOutError in module setup.exe at 00000000.\nThe update's "
          "content folder cannot be found: unpack the whole update again, or get it again from its "
          "maker (C:\\Pkg\\Quests\\).")),
    ]


def test_predictions(program, scratch):
    failures = []
    for number, (name, files, record_bytes, args, end, exit_code, box) in enumerate(prediction_cases()):
        root = os.path.join(scratch, "r%d" % number)
        write_package(root, files)
        record = os.path.join(scratch, "r%d.reg" % number)
        with open(record, "wb") as f:
            f.write(record_bytes)
        common = ["--record", record, "--package-dir", "C:\\Pkg\\"] + args
        code, out, err = run_check(program, ["--json"] + common + [root])
        prediction = json.loads(out.decode("ascii"))["record"]
        got = prediction["end"] or {o["when"]: o for o in prediction["content_stage"]}[
            "content-folder-absent"]["end"]
        got_box = got.get("box") and (got["box"]["caption"], got["box"]["text"])
        if (got["kind"], code, got_box) != (end, exit_code, box):
            failures.append("%s: predicted %s, %r, exit %d; expected %s, %r, exit %d"
                            % (name, got["kind"], got_box, code, end, box, exit_code))
    # Where the product's folder is missing, the run refuses before replacing the launcher files.
    root, record = os.path.join(scratch, "r2"), os.path.join(scratch, "r2.reg")
    _, out, _ = run_check(program, ["--record", record, root])
    text = out.decode("latin-1")
    before, absent = text.split("when the content folder is not in")
    missing = absent.split("when the product's folder itself is missing")[-1]
    if ("replaces the launcher files" in before + missing or "refuses before any change" not in
            missing or "replaces the launcher files" not in absent):
        failures.append("launcher files replaced by outcome: %r" % text)
    return failures


# ---- generated packages and records, predicted and run ----

KEY = "BraskQuestsInstallerPallum"
PACKAGE_DIR = "C:\\Pkg\\"


def generated_case(rng):
    """A package, the product's record and what the product's folder holds."""
    files = good_package()
    content = rng.choice(["Quests", "Quests", "OldExe", "oldexe.", "", "NotThere", "Long"])
    if content == "Long":
        # With its final \, C:\WINDOWS\<key>\Long\<202 letters>\ is 248 characters.
        content = "Long"
        files["Long/" + "g" * (248 - 46 - len("Long\\") + 1) + "/y.txt"] = b"y"
    if content not in ("Quests", "NotThere", ""):
        files = {("%s/%s" % (content.rstrip("."), p[7:]) if p.startswith("Quests/") else p): d
                 for p, d in files.items()}
    code_page = rng.choice([1252, 1252, 1251, 1250])
    versions = ["Pallum 2.2", "1.00", "Pallum 3", CYRILLIC, "Cr\u00e8me 1"]
    listed = rng.sample(versions[1:], rng.randint(0, 2))
    if rng.random() < 0.8:
        listed.insert(rng.randint(0, len(listed)), "Pallum 2.2")
    if rng.random() < 0.1:
        listed.append("Pallum\0 4")  # the refusal's box shows the text up to the NUL
    files["set.inf"] = b"\r\n".join(
        [content.encode(), b"title"] + [v.encode("cp%d" % code_page, "replace") for v in listed]
        + [b"[end]", b""])
    new_exe = rng.choice(["present", "partial", "absent"])
    if new_exe != "present":
        drop = LAUNCHERS if new_exe == "absent" else rng.sample(LAUNCHERS, 3)
        files = {p: d for p, d in files.items() if p not in ["NewExe/" + n for n in drop]}
    if rng.random() < 0.3:
        files.pop("uninstall.inf")
    values = {}
    version = rng.choice(versions + [None])
    if version is not None:
        values["ProductVersion"] = version
    installer = rng.choice(["1.0", "1.1", "1.2", "1.3", "1.3.1", "1.3.1", "2.0", None])
    if installer is not None:
        values["Version"] = installer
    record = None if rng.random() < 0.1 else values
    product = rng.choice(["absent", "present", "present", "with content"])
    return {"files": files, "content": content, "record": record, "product": product,
            "code_page": code_page, "wide": rng.random() < 0.5}


def in_code_page(text, code_page):
    """The text's bytes in the code page, as 8-bit text; '?' for a character it lacks."""
    return b2s(text.encode("cp%d" % code_page, "replace"))


def record_reg(record, code_page=1252):
    lines = ["REGEDIT4", ""]
    if record is not None:
        lines.append("[HKEY_LOCAL_MACHINE\\Software\\%s]" % KEY)
        lines += ['"%s"="%s"' % (n, reg_escape(in_code_page(v, code_page)))
                  for n, v in record.items()]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def unmapped(case, names):
    """The values of the wide export among `names` that hold a character the machine's code
    page lacks."""
    if not case["wide"]:
        return []
    return [n for n, v in (case["record"] or {}).items() if n in names and
            v.encode("cp%d" % case["code_page"], "replace").decode("cp%d" % case["code_page"]) != v]


def set_up_machine(root, case, updater):
    """A fresh emulated machine with the package at C:\\Pkg\\ and the installed product."""
    remove_tree(root)
    os.makedirs(os.path.join(root, "drive_c", "TEMP"))
    install = os.path.join(root, "drive_c", "WINDOWS", KEY)
    os.makedirs(os.path.dirname(install))
    with open(os.path.join(root, "system.reg"), "wb") as f:
        f.write(s2b(record_reg(case["record"], case["code_page"])))
    with open(os.path.join(root, "codepage"), "w") as f:
        f.write("%d\n" % case["code_page"])
    package = os.path.join(root, "drive_c", "Pkg")
    write_package(package, case["files"])
    shutil.copy(updater, os.path.join(package, "setup.exe"))
    if case["product"] != "absent":
        os.makedirs(install)
        for name in LAUNCHERS:
            with open(os.path.join(install, name), "wb") as f:
                f.write(b"installed " + name.encode())
        if case["product"] == "with content":
            os.makedirs(os.path.join(install, case["content"].rstrip(". ")), exist_ok=True)
    return package, install


def files_state(install, files):
    """What the run left in the product's folder: which launcher files came from NewExe\\,
    whether the content folder's files and uninstall.in are there."""
    if not os.path.isdir(install):
        return {"launchers": False, "content": False, "uninstall": False}
    new = [n for n in LAUNCHERS if "NewExe/" + n in files]
    replaced = bool(new) and all(
        open(os.path.join(install, n), "rb").read() == files["NewExe/" + n] for n in new)
    copied = False
    for path in files:
        top, _, rest = path.partition("/")
        if rest and top not in ("NewExe",) and not path.endswith("/"):
            copied = copied or os.path.isfile(os.path.join(install, top, *rest.split("/")))
    return {"launchers": replaced, "content": copied,
            "uninstall": os.path.isfile(os.path.join(install, "uninstall.in"))}


def real_run(root, package):
    env = dict(os.environ, WIN32EMU_ROOT=root)
    code = subprocess.run([os.path.join(package, "setup.exe")], env=env, cwd=root,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode

    def log(name):
        path = os.path.join(root, name)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [line.split("\t") for line in b2s(f.read()).split("\n")[:-1]]
    boxes = [(int(k, 16), None if c == "(null)" else c, unescape(t)) for k, c, t in
             log("messages.log")]
    starts = [unescape(command) for _, command in log("exec.log")]
    with open(os.path.join(root, "system.reg"), "rb") as f:
        values = parse_reg(b2s(f.read())).get(("HKEY_LOCAL_MACHINE\\Software\\" + KEY).lower())
    return code, boxes, starts, values


def generated_prediction(program, case, scratch, package):
    record = os.path.join(scratch, "generated.reg")
    with open(record, "wb") as f:
        if case["wide"] and case["record"] is not None:
            f.write(wide_export(*case["record"].items()))
        else:
            f.write(s2b(record_reg(case["record"], case["code_page"])))
    _, out, err = run_check(program, ["--json", "--record", record, "--package-dir", PACKAGE_DIR,
                                      "--codepage", str(case["code_page"]), package])
    prediction = json.loads(out.decode("ascii"))["record"]
    if prediction["end"] is not None:
        return prediction, prediction["end"], prediction["writes"], None, False
    outcomes = {o["when"]: o for o in prediction["content_stage"]}
    when = {"absent": "install-dir-missing", "with content": "content-folder-present"}.get(
        case["product"], "content-folder-absent")
    outcome = outcomes.get(when, outcomes["content-folder-present"])
    writes = prediction["writes"]
    if outcome["refused_before_changes"]:
        writes = writes[:prediction["writes_before_look_ahead"]]
    return prediction, outcome["end"], writes + outcome["writes"], outcome, True


def compare_generated(program, updater, case, scratch):
    root = os.path.join(scratch, "generated")
    package, install = set_up_machine(root, case, updater)
    prediction, end, writes, outcome, staged = generated_prediction(program, case, scratch,
                                                                    package)
    code, boxes, starts, values = real_run(root, package)
    # What the user's machine reads of a value its code page cannot hold is not known: the
    # check must say so where the run reads it first, and only where a value holds one.
    if end["kind"] == "cannot-tell":
        ok = unmapped(case, ("ProductVersion", "Version"))
        return [] if ok else ["cannot tell, with no character the code page lacks"], end["kind"]
    if unmapped(case, ("ProductVersion",)):
        return ["\"ProductVersion\" holds a character the code page lacks: predicted %s"
                % end["kind"]], end["kind"]
    problems = []
    if end["exit_code"] != code:
        problems.append("exit code: predicted %s (%s), the run %d" % (end["exit_code"],
                                                                     end["kind"], code))
    box = end.get("box")
    want = [] if box is None else [(0x2010 if end["kind"] == "error-box" else 0,
                                    None if box["caption"] == "Error" else box["caption"],
                                    box["text"])]
    if len(want) != len(boxes) or any(
            w[:2] != b[:2] or not re.fullmatch(re.escape(w[2]).replace("00000000", "[0-9A-F]{8}"),
                                               b[2]) for w, b in zip(want, boxes)):
        problems.append("boxes: predicted %r, the run %r" % (want, boxes))
    predicted_start = [outcome["started"]] if outcome and outcome["started"] else []
    if starts != predicted_start:
        problems.append("starts: predicted %r, the run %r" % (predicted_start, starts))
    expected = {n.lower(): (n, REG_SZ, s2b(in_code_page(v, case["code_page"])) + b"\0")
                for n, v in (case["record"] or {}).items()}
    for write in writes:
        name, kind, data = written_value(write)
        expected[name.lower()] = (expected.get(name.lower(), (name,))[0], kind, data)
    if (values or {}) != (expected if case["record"] is not None else {}):
        problems.append("registry: predicted %r, the run %r" % (expected, values))
    files = files_state(install, case["files"])
    predicted_files = {"launchers": bool(outcome and outcome["launchers_replaced"]
                                         and prediction["launcher_files"]),
                       "content": bool(outcome and outcome["content_copied"]),
                       "uninstall": bool(outcome and outcome["uninstall_copied"])}
    if case["product"] == "with content" and not files["content"]:
        files["content"] = False
    if files != predicted_files:
        problems.append("files: predicted %r, the run %r" % (predicted_files, files))
    return problems, end["kind"]


def test_generated(program, updater, scratch, seed, count):
    print("generated cases: seed %d, %d cases" % (seed, count))
    rng = random.Random(seed)
    failures = []
    ends = {}
    for number in range(count):
        case = generated_case(rng)
        problems, end = compare_generated(program, updater, case, scratch)
        ends[end] = ends.get(end, 0) + 1
        if problems:
            shown = dict(case, files=sorted(case["files"]))
            failures.append("generated case %d of seed %d: %r\n    %s"
                            % (number, seed, shown, "\n    ".join(problems)))
    print("generated ends: " + ", ".join("%s %d" % e for e in sorted(ends.items())))
    return failures


# ---- under Wine ----

def wine_of(program, scratch):
    """The Windows build's Wine, and the environment of the suite's one prefix."""
    wine = wine_program.runnable(program)
    return wine, wine.env(os.path.join(scratch, "prefix"))


def test_wine(program, scratch):
    """The Windows build once, on a package with two planted mistakes and a record exported
    as Windows does today, from the view the build reads on a 64-bit Windows: the 32-bit one
    (under Wow6432Node) for the shipped 32-bit program."""
    wine, env = wine_of(program, scratch)
    key = wine.software + "BraskQuestsInstallerPallum"
    # Windows writes its own keys' names in its own case.
    exported = key.replace("Software\\", "SOFTWARE\\").replace("Wow6432Node", "WOW6432Node")
    root = os.path.join(scratch, "package")
    write_package(root, changed({"set.inf": crlf("Quests", "x", "1.00 ", "Pallum 2.2", "[end]"),
                                 "NewExe/notes.txt": b"n"}))
    record = os.path.join(scratch, "record.reg")
    with open(record, "wb") as f:
        f.write(utf16_export(
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\%s]\n"
            "\"ProductVersion\"=\"Pallum 2.2\"\n\"Version\"=\"1.2\"\n\n" % exported))
    # A Cyrillic version, exported wide: read through code page 1251 it is listed; through
    # 1252 the check cannot tell.
    cyrillic_root = os.path.join(scratch, "cyrillic")
    write_package(cyrillic_root, changed(CYRILLIC_SET))
    cyrillic_record = os.path.join(scratch, "cyrillic.reg")
    with open(cyrillic_record, "wb") as f:
        f.write(utf16_export(
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\%s]\n"
            "\"ProductVersion\"=\"%s\"\n\"Version\"=\"1.3.1\"\n\n" % (exported, CYRILLIC)))
    shutil.copy(program, os.path.join(scratch, "package-check.exe"))
    # A name that the machine's code page (1252) cannot hold: Windows lists it with "?".
    cyrillic = os.path.join(scratch, "cyrillic-names")
    write_package(cyrillic, changed({}))
    open(os.path.join(cyrillic, "Quests", "Пещера.qst"), "wb").close()
    expected_ends = []
    try:
        code, out, err = run_check(os.path.join(scratch, "package-check.exe"),
                                   ["--json", "--record", "Z:" + record.replace("/", "\\"),
                                    "--package-dir", "C:\\Pkg\\", "Z:" + root.replace("/", "\\")],
                                   wine=wine, wine_env=env)
        _, names_out, _ = run_check(os.path.join(scratch, "package-check.exe"),
                                    ["--json", "Z:" + cyrillic.replace("/", "\\")],
                                    wine=wine, wine_env=env)
        for code_page, want_exit in (("1251", 0), ("1252", 3)):
            expected_ends.append((code_page, want_exit, run_check(
                os.path.join(scratch, "package-check.exe"),
                ["--codepage", code_page, "--expect", "complete", "--record",
                 "Z:" + cyrillic_record.replace("/", "\\"), "Z:" + cyrillic_root.replace("/", "\\")],
                wine=wine, wine_env=env)[0]))
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    try:
        report, got = findings_of(out)
    except ValueError:
        return ["wine: no JSON, exit %d: %r" % (code, err[-500:])]
    failures = []
    want = [("new-exe-other", "NewExe\\notes.txt", None), ("version-blank", "set.inf", 3)]
    if got != want or code != 0:
        failures.append("wine: findings %s and exit %d, expected %s and 0" % (got, code, want))
    try:
        names = findings_of(names_out)[1]
    except ValueError:
        names = names_out[-300:]
    if names != [("name-not-shown", "Quests\\??????.qst", None)]:
        failures.append("wine: a name outside the code page: %s" % (names,))
    record = report["record"]
    outcome = {o["when"]: o for o in record["content_stage"]}.get("content-folder-absent", {})
    writes = [(w["name"], w["data"]) for w in record["writes"] + outcome.get("writes", [])]
    want_writes = [("OldInstVer", "1.2"), ("MakeDeUpdate", 0), ("Version", "1.3.1"),
                   ("ToDo", "Quests"), ("ToDelPath", "C:\\Pkg\\")]
    if record["key"] != key or writes != want_writes:
        failures.append("wine: record %s, writes %s" % (record["key"], writes))
    for code_page, want_exit, got_exit in expected_ends:
        if got_exit != want_exit:
            failures.append("wine: --codepage %s --expect complete exit %d, expected %d"
                            % (code_page, got_exit, want_exit))
    return failures


def main():
    global LAUNCHERS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("suite", choices=("findings", "cross", "wine"))
    parser.add_argument("--check", required=True, help="the built package-check")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files) of the "
                        "same build")
    parser.add_argument("--updater", help="the built setup.exe, for the generated cases and "
                        "the documentation")
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    parser.add_argument("--cases", type=int, default=300)
    args = parser.parse_args()
    if args.suite == "findings" and not args.updater:
        parser.error("findings needs --updater: the documentation's sample boxes are its runs")
    program = os.path.abspath(args.check)
    scratch = tempfile.mkdtemp(prefix="package-check.")
    try:
        # The Windows build's lister runs under Wine, in the suite's prefix.
        wine, env = wine_of(program, scratch) if args.suite == "wine" else (None, None)
        LAUNCHERS = read_launcher_files(args.launcher_files, wine, env)
        failures = {"findings": test_findings, "cross": test_cross,
                    "wine": test_wine}[args.suite](program, scratch)
        if args.suite == "findings":
            failures += documented.check_documents(program, os.path.abspath(args.updater),
                                                   scratch, SEEN_CODES)
        if args.suite == "cross":
            failures += test_predictions(program, scratch)
        if args.suite == "cross" and args.updater:
            failures += test_generated(program, os.path.abspath(args.updater), scratch,
                                       args.seed, args.cases)
    finally:
        remove_tree(scratch)
    for failure in failures:
        print("FAIL " + failure)
    print("%s: %s" % (args.suite, "%d failed" % len(failures) if failures else "all passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
