#!/usr/bin/env python3
"""Fault sweep: a complete update run, failed at each of its platform calls in turn.

A fresh emulated machine holds the whole update: a product installed by installer 1.1 (no
"Version", no "ProductVersion", so the run writes the default), every launcher file (as
list_launcher_files names them) installed and in the package's NewExe\\, a content folder three
levels deep, uninstall.inf, and the product's own setup.exe. A clean run, traced
(WIN32EMU_TRACE), lists the calls that ask the emulation's fault hook. Then for every call n of
that list and every error code that call meets in practice (the emulation's table of fault
points, as win32emu_fault_points lists it), the updater runs on a fresh copy of the machine with
WIN32EMU_FAULT=n:code, and the sweep checks

  - the outcome: the error box of the right class and message with exit code 1 where a
    line-file check or the registry reports the failure, a silent continuation where the run
    passes it over, and for the calls whose failure changes the course the outcomes the run
    allows (said beside each); never a signal, a sanitizer report, an unhandled exception, a
    hang or a second box; and that the fault hit the call it was meant for;
  - for a call of the look before the first change, that the run either completes or is
    refused with the machine as it was but for "ProductVersion" and "OldInstVer"; for a
    launcher file not put in place, that the set is put back and "Version" not written;
  - that nothing is lost: every launcher file installed before is still in InstallDir or
    saved whole in OldExe\\; every file in InstallDir is its old content or its package
    counterpart, never partial; no temporary file is left; the package is untouched; and
    system.reg reads whole and keeps every value it held, but for those the run writes.

Prints a summary and every violation with its fault; exits non-zero on any violation.
The machine set-up and the registry parser are the suites' shared ones (tests/support/py).
"""

import argparse
import collections
import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile
import time
import types

from case_error import CaseError
from launcher_files import read_launcher_files
from log_text import b2s, escape_log, unescape
from native_machine import NativeMachine
from registry_text import compare_values, parse_reg
from trees import read_tree, remove_tree

PRODUCT_KEY = "BraskQuestsInstallerPallum"
KEY_PATH = ("HKEY_LOCAL_MACHINE\\Software\\" + PRODUCT_KEY).lower()
PACKAGE_DIR = "C:\\Pkg\\"
INSTALL_DIR = "C:\\WINDOWS\\" + PRODUCT_KEY + "\\"
CONTENT = "Quests"
LAST_LISTED = "Pallum 2.2"
# The values the run writes into the product's key by design; all others must stay as they were.
WRITTEN_BY_RUN = {"productversion", "oldinstver", "version", "makedeupdate", "todo", "todelpath"}
RUN_TIMEOUT = 20  # seconds; a run takes milliseconds, so reaching this is a hang

# Calls before which the run has changed nothing: their failure must leave the machine as it
# was.
RUN_LOCK_CALLS = {"CreateMutexA", "WaitForSingleObject"}

# The registry accesses of this run, in order, by the value operations between an open and
# its close (Q: query, S: set).
REGISTRY_STEPS = [
    ("record-exists", []),
    ("product-version-asked", [("Q", "ProductVersion")]),
    ("product-version-default", [("S", "ProductVersion")]),
    ("product-version-asked-again", [("Q", "ProductVersion")]),
    ("product-version-read", [("Q", "ProductVersion"), ("Q", "ProductVersion")]),
    ("installer-version-read", [("Q", "Version")]),
    ("old-installer-version", [("S", "OldInstVer")]),
    ("launcher-stage-done", [("S", "MakeDeUpdate"), ("S", "Version")]),
    ("content-stage-done", [("S", "ToDo"), ("S", "ToDelPath")]),
]

# Violations whose cure needs a decision about the run's design; they still fail the sweep.
KNOWN_VIOLATIONS = []

SANITIZER_REPORT = re.compile(
    r"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:|"
    r"terminate called|Segmentation fault|Aborted")


class SweepError(Exception):
    """The scenario is not the one this sweep is written for."""


def read_fault_points(program):
    """The emulation's table of fault points, as its lister prints it: each call that asks the
    fault hook, with the error codes it meets in practice (none: never swept)."""
    listed = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    codes = {}
    for line in listed.splitlines():
        call, _, numbers = line.partition("\t")
        codes[call] = [int(number) for number in numbers.partition("\t")[0].split()]
    if not codes:
        raise SweepError("%s lists no fault points" % program)
    return codes


# ---- outcomes ----

def io_text(code):
    return {2: "File not found", 3: "Invalid filename", 4: "Too many open files",
            5: "File access denied", 100: "Read beyond end of file", 101: "Disk full",
            106: "Invalid numeric input",
            110: "Cannot tell whether another update is running",
            258: "Another update is still running"}.get(code, "I/O error %d" % code)


def error_box(class_name, message):
    return ("error", class_name, message)


def io_error(code):
    return error_box("EInOutError", io_text(code))


def set_failure(name):
    return error_box("ERegistryException", "Failed to set data for '%s'" % name)


# The run's look-ahead, between the record's "OldInstVer" and the launcher stage, may refuse
# what a failed call makes it see: the error box with one of its own texts. It changes nothing.
LOOK_AHEAD_REFUSAL = ("look-ahead refusal",)
LOOK_AHEAD_TEXTS = re.compile(
    r"(The temporary folder cannot be found|The update names no content folder|"
    r"The update's content folder cannot be found|A folder of the update cannot be read|"
    r"A file of the update has a name that this system's language cannot show|"
    r"The update's folder path is too long|A file would get a path too long|"
    r"The product's folder is missing|A file of the update cannot be read|"
    r"A file of the product is (read-only|in use)|A file of the product cannot be replaced)"
    r"[^\n]*", re.S)
# A launcher file that could not be put in place after all: the set is put back, and the run
# ends before "Version" is written.
NOT_REPLACED = ("not replaced",)
NOT_REPLACED_TEXT = re.compile(r"A file of the product could not be replaced, and its files are "
                               r"as they were: close the game and start the update again "
                               r"\((.*)\)", re.S)
REFUSAL_START = "This updater can update only %s version!\r" % LAST_LISTED
NOTHING_INSTALLED = ("refusal", REFUSAL_START + "But nothing is installed!")
EMPTY_VERSION_REFUSED = ("refusal", REFUSAL_START + "Version  is installed already.")
SILENT = ("silent",)  # exit 0, no box, the product's setup program not started
COMPLETE = ("complete",)  # exit 0, no box, the product's setup program started


def describe(outcome):
    if outcome in (LOOK_AHEAD_REFUSAL, NOT_REPLACED):
        return "error box EInOutError: " + outcome[0]
    if outcome[0] == "error":
        return "error box %s %r" % (outcome[1], outcome[2] + ".")
    if outcome[0] == "refusal":
        return "refusal box %r" % escape_log(outcome[1])
    return {"silent": "silent end", "complete": "complete run"}.get(outcome[0], outcome[0])


def kind_of(outcome):
    if outcome in (LOOK_AHEAD_REFUSAL, NOT_REPLACED):
        return "error box: " + outcome[0]
    if outcome[0] == "error":
        return "error box " + outcome[1]
    return {"refusal": "refusal box", "silent": "silent end", "complete": "complete run"}.get(
        outcome[0], outcome[0])


class CleanRun:
    """The traced clean run: its calls, and the role of each in the run."""

    def __init__(self, calls, launchers):
        self.calls = calls  # [(call, subject)]
        self.launchers = launchers
        self.step = {}  # call index -> (registry step, position of the operation in it)
        self._label_registry_steps()
        self._find_look_ahead()

    def _find_look_ahead(self):
        """The look-ahead's calls: from the first after "OldInstVer" is written up to the
        launcher stage, which asks for NewExe\\ again."""
        start = max(number for number, (label, _) in self.step.items() if label == "old-installer-version") + 2
        new_exe = [number for number, call in enumerate(self.calls, 1)
                   if call == ("GetFileAttributesA", PACKAGE_DIR + "NewExe\\")]
        if len(new_exe) != 2 or new_exe[0] != start:
            raise SweepError("the look-ahead is not where it belongs: NewExe\\ asked at %r"
                             % new_exe)
        self.look_ahead = range(start, new_exe[1])

    def _label_registry_steps(self):
        groups = []
        current = None
        for number, (call, subject) in enumerate(self.calls, 1):
            if call == "RegOpenKeyExA":
                current = {"open": number, "ops": [], "numbers": []}
                groups.append(current)
            elif call in ("RegQueryValueExA", "RegSetValueExA"):
                if current is None:
                    raise SweepError("call %d: %s outside an open key" % (number, call))
                current["ops"].append(("Q" if call == "RegQueryValueExA" else "S", subject))
                current["numbers"].append(number)
            elif call == "RegCloseKey":
                current = None
        found = [group["ops"] for group in groups]
        wanted = [ops for _, ops in REGISTRY_STEPS]
        if found != wanted:
            raise SweepError("the clean run's registry accesses are %r, not %r" % (found, wanted))
        for group, (label, _) in zip(groups, REGISTRY_STEPS):
            group["label"] = label
            self.step[group["open"]] = (label, "open")
            for position, number in enumerate(group["numbers"]):
                self.step[number] = (label, position)

    def expected(self, number, code):
        """The outcomes the run allows when call `number` fails with `code`."""
        call, subject = self.calls[number - 1]
        if number in self.look_ahead:
            if call == "GetFileAttributesA" and subject == PACKAGE_DIR + "NewExe\\":
                return [SILENT]  # no NewExe\\ seen: the launcher files stay due, as without one
            # A failed look refuses, or finds nothing amiss and lets the run complete.
            return [LOOK_AHEAD_REFUSAL, COMPLETE]
        launcher_source = (subject.startswith(PACKAGE_DIR + "NewExe\\") or (
            subject.startswith(INSTALL_DIR) and subject[len(INSTALL_DIR):] in self.launchers))
        if call == "CopyFileA" and launcher_source:
            return [NOT_REPLACED]  # saving the installed file, or putting the new one in place
        if call == "GetFileAttributesA" and subject.startswith(INSTALL_DIR) and \
                subject[len(INSTALL_DIR):] in self.launchers:
            # An installed file not seen is not saved, and the new one is not copied over it.
            return [NOT_REPLACED]
        if call == "CreateDirectoryA" and subject == INSTALL_DIR + "OldExe\\":
            return [NOT_REPLACED]  # no installed file can be saved
        line_file = subject.endswith(("\\options.inf", "\\set.inf", "\\CopyList.lis"))
        if call in ("CreateFileA", "ReadFile", "WriteFile", "SetFilePointer") or (
                call == "CloseHandle" and line_file) or (
                call == "DeleteFileA" and subject.endswith("\\CopyList.lis")):
            # Every line-file operation is checked at once; so is taking away the name where
            # CopyList.lis is made new.
            return [io_error(code)]
        if call == "CloseHandle":
            return [COMPLETE]  # the started program's handles: the result is not examined
        if call == "CreateDirectoryA":
            # Pending until the next check: the one after CopyList.lis is created for the
            # folders made before the copy, the next list line's for an MD record's folder.
            return [io_error(code)]
        if call == "GetFileAttributesA":
            if subject == PACKAGE_DIR + "NewExe\\":
                # No NewExe\: the launcher files stay due and the run ends silently.
                return [SILENT]
            # Any other query that fails counts as "absent": OldExe\ or the content folder is
            # created as it would be anyway; a package launcher file is not handled; an
            # installed one is not saved; a subfolder of the content walks as a file, whose
            # copy fails. Each of these lets the run go on to its end.
            return [COMPLETE]
        if call in ("CopyFileA", "DeleteFileA", "FindFirstFileA", "FindNextFileA",
                    "RegCloseKey"):
            # Copies and deletions pass in silence; a failed listing step ends the walk of that
            # folder; a failed close is not examined.
            return [COMPLETE]
        if call == "CreateProcessA":
            return [SILENT]  # a start that fails passes in silence
        if call == "GetModuleFileNameA":
            # The package folder becomes "": options.inf or set.inf is looked for in the
            # current folder, where there is none.
            return [io_error(2)]
        if call == "GetTempPathA":
            return [COMPLETE]  # CopyList.lis is then made in the current folder
        if call in RUN_LOCK_CALLS:
            return [io_error(110)]  # no telling whether another update runs: nothing is done
        step, position = self.step.get(number, (None, None))
        if call == "RegSetValueExA":
            return [set_failure(subject)]
        if call == "RegOpenKeyExA":
            # A key that does not open: every value reads as absent, every write fails.
            return {
                "record-exists": [NOTHING_INSTALLED],
                # "ProductVersion" is absent anyway; the default is written
                "product-version-asked": [COMPLETE],
                "product-version-default": [set_failure("ProductVersion")],
                # "ProductVersion" absent: the run ends without a message
                "product-version-asked-again": [SILENT],
                "product-version-read": [EMPTY_VERSION_REFUSED],  # the version reads as "", not listed
                "installer-version-read": [COMPLETE],  # "Version" is absent anyway
                "old-installer-version": [set_failure("OldInstVer")],
                "launcher-stage-done": [set_failure("MakeDeUpdate")],
                "content-stage-done": [set_failure("ToDo")],
            }[step]
        if call == "RegQueryValueExA":
            # A failed size query makes the value absent; a failed data query is reported.
            if step == "product-version-read":
                return [EMPTY_VERSION_REFUSED] if position == 0 else [
                    error_box("ERegistryException", "Failed to get data for 'ProductVersion'")]
            return {"product-version-asked": [COMPLETE], "product-version-asked-again": [SILENT],
                    "installer-version-read": [COMPLETE]}[step]
        raise SweepError("no expectation for call %d %s %s" % (number, call, subject))


# ---- the machine ----

class FaultMachine(NativeMachine):
    """The acceptance suite's native machine, run with a fault plan and its stderr kept."""

    def use_root(self, root):
        self.root = root
        self._seen_messages_log = 0
        self._seen_exec_log = 0

    def run_with(self, extra_env):
        env = dict(os.environ, WIN32EMU_ROOT=self.root, **extra_env)
        # A sanitizer report must not pass for the error box's exit code 1.
        env.setdefault("ASAN_OPTIONS", "exitcode=86:abort_on_error=0")
        env.setdefault("UBSAN_OPTIONS", "exitcode=87:print_stacktrace=1")
        program = os.path.join(self.host_path(PACKAGE_DIR), "setup.exe")
        try:
            result = subprocess.run([program], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None, [], ""
        return result.returncode, self.read_log("messages.log", self.consume_box), b2s(
            result.stderr)


def launcher_script(which):
    # The product's own setup program: a host program, so that the run's start succeeds.
    return ("#!/bin/sh\n# %s launcher of the product\nexit 0\n" % which).encode()


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def content_bytes(name, size):
    seed = ("%s: quest data. " % name).encode()
    return (seed * (size // len(seed) + 1))[:size]


def set_up(machine, launchers):
    """The complete update on the machine's fresh root."""
    machine.reset(types.SimpleNamespace(name="pristine"))
    machine.write_registry(
        "REGEDIT4\n\n"
        "; The product as its installer 1.1 left it: no \"Version\", no \"ProductVersion\".\n"
        "[HKEY_LOCAL_MACHINE\\Software\\%s]\n"
        "\"ProductName\"=\"Brask Quests Installer: Pallum\"\n"
        "\"InstallDir\"=\"C:\\\\WINDOWS\\\\%s\\\\\"\n"
        "\"Quests\"=dword:00000003\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Brask\\Shared]\n"
        "\"Path\"=\"C:\\\\Brask\\\\\"\n"
        "\"Flags\"=hex:01,02,03\n\n" % (PRODUCT_KEY, PRODUCT_KEY))
    install = machine.host_path(INSTALL_DIR)
    package = machine.host_path(PACKAGE_DIR)
    for name in launchers:
        if name == "setup.exe":
            write_file(os.path.join(install, name), launcher_script("installed"), 0o755)
            write_file(os.path.join(package, "NewExe", name), launcher_script("new"), 0o755)
        else:
            write_file(os.path.join(install, name), ("installed %s\r\n" % name).encode() * 40)
            write_file(os.path.join(package, "NewExe", name), ("new %s\r\n" % name).encode() * 50)
    write_file(os.path.join(install, "Saves", "slot1.sav"), b"a saved game\r\n" * 30)
    write_file(os.path.join(install, "readme.txt"), b"The installed product.\r\n")
    options = ["[Brask Quests Installer]", PRODUCT_KEY] + ["option %d" % n for n in range(3, 17)]
    write_file(os.path.join(package, "options.inf"), "\r\n".join(options).encode() + b"\r\n")
    write_file(os.path.join(package, "set.inf"),
               ("%s\r\nunused\r\nPallum 2.0\r\nPallum 2.1\r\n%s\r\n[end]\r\n"
                % (CONTENT, LAST_LISTED)).encode())
    write_file(os.path.join(package, "uninstall.inf"), b"[Uninstall]\r\nFiles=Quests\r\n")
    # An earlier run's list, which this run takes away before it makes its own.
    write_file(machine.host_path("C:\\TEMP\\CopyList.lis"), b"Copy\r\nC:\\old\r\nC:\\older\r\nend")
    tree = {
        "": ["readme.txt", "credits.txt", "index.qst"],
        "Pallum": ["pallum.qst", "intro.txt", "music.mid"],
        "Pallum/Island": ["island.qst", "map.bmp", "caves.qst"],
    }
    for level, (folder, names) in enumerate(tree.items()):
        for number, name in enumerate(names):
            path = os.path.join(package, CONTENT, *folder.split("/"), name) if folder else \
                os.path.join(package, CONTENT, name)
            write_file(path, content_bytes(name, 100 + 700 * number + 5000 * level))
    machine.put_updater(os.path.join(package, "setup.exe"))


# ---- one run and its checks ----

def read_trace(path):
    calls = []
    if not os.path.exists(path):
        return calls
    with open(path, "rb") as f:
        for line in b2s(f.read()).split("\n")[:-1]:
            fields = line.split("\t")
            calls.append((int(fields[0]), fields[1], unescape(fields[2]),
                          int(fields[3]) if len(fields) > 3 else 0))
    return calls


def read_registry(root):
    with open(os.path.join(root, "system.reg"), "rb") as f:
        return parse_reg(b2s(f.read()))


def read_list(machine):
    """The bytes of CopyList.lis in the temporary folder, or None when there is none."""
    try:
        with open(os.path.join(machine.host_path("C:\\TEMP\\"), "CopyList.lis"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


class Snapshot:
    """What the machine held before the run, and which of its files are the launcher files."""

    def __init__(self, machine, launchers):
        self.launchers = launchers
        self.install = read_tree(machine.host_path(INSTALL_DIR))
        self.package = read_tree(machine.host_path(PACKAGE_DIR))
        self.registry = read_registry(machine.root)
        self.copy_list = read_list(machine)


def package_counterpart(before, rel):
    """The bytes that a file of InstallDir may hold when it is not its old content."""
    parts = rel.split(os.sep)
    if len(parts) == 1 and parts[0] in before.launchers:
        return before.package.get(os.path.join("NewExe", parts[0]))
    if len(parts) == 2 and parts[0] == "OldExe":
        return before.install.get(parts[1])  # a saved launcher file: the one installed
    if parts[0] == CONTENT:
        return before.package.get(rel)
    if rel == "uninstall.in":
        return before.package.get("uninstall.inf")
    return None


def windows(rel):
    return rel.replace(os.sep, "\\")


def check_files(machine, before):
    problems = []
    install = read_tree(machine.host_path(INSTALL_DIR))
    for name in before.launchers:
        old = before.install[name]
        if install.get(name) != old and install.get(os.path.join("OldExe", name)) != old:
            problems.append("launcher file %s lost: neither in InstallDir nor in OldExe\\ with "
                            "its old content" % name)
    for rel, data in sorted(install.items()):
        if data is None:
            continue
        if data == before.install.get(rel):
            continue
        counterpart = package_counterpart(before, rel)
        if counterpart is None:
            problems.append("InstallDir holds %s, which is neither old nor from the package"
                            % windows(rel))
        elif data != counterpart:
            problems.append("InstallDir\\%s is partial or wrong: %d bytes, neither its old "
                            "content nor the package's" % (windows(rel), len(data)))
    for rel, data in sorted(before.install.items()):
        if rel not in install and not (len(rel.split(os.sep)) == 1 and rel in before.launchers):
            problems.append("InstallDir\\%s is gone" % windows(rel))
    if read_tree(machine.host_path(PACKAGE_DIR)) != before.package:
        problems.append("the package folder changed")
    for folder, _, files in os.walk(machine.root):
        for name in files:
            if name.startswith(".~copy-") or name == "system.reg.new":
                problems.append("temporary file left: %s"
                                % os.path.relpath(os.path.join(folder, name), machine.root))
    return problems


# The values a run writes before its look-ahead.
WRITTEN_BEFORE_LOOK_AHEAD = {"productversion", "oldinstver"}


def check_unchanged(machine, before, written=frozenset()):
    """Problems where the run changed anything at all on the machine, but for the product's
    values named in `written`."""
    problems = []
    if read_tree(machine.host_path(INSTALL_DIR)) != before.install:
        problems.append("InstallDir changed")
    after = read_registry(machine.root)
    if written and KEY_PATH in after:
        kept = {lower: entry for lower, entry in after[KEY_PATH].items() if lower not in written}
        after = dict(after, **{KEY_PATH: dict(kept, **{
            lower: entry for lower, entry in before.registry.get(KEY_PATH, {}).items()
            if lower in written})})
    # The registry file names each key's parents once it has been written: keys of no values.
    if any(after.get(key) != values for key, values in before.registry.items()) or any(
            values for key, values in after.items() if key not in before.registry):
        problems.append("the registry changed")
    if machine.starts(INSTALL_DIR):
        problems.append("a program was started")
    if read_list(machine) != before.copy_list:
        problems.append("CopyList.lis changed")
    return problems


def check_put_back(machine, before):
    """Problems where a launcher replacement that failed did not put the set back, or wrote
    "Version"."""
    problems = []
    install = read_tree(machine.host_path(INSTALL_DIR))
    for name in before.launchers:
        if install.get(name) != before.install[name]:
            problems.append("launcher file %s not put back" % name)
    if "version" in read_registry(machine.root).get(KEY_PATH, {}):
        problems.append("\"Version\" written though the launcher files were not replaced")
    if machine.starts(INSTALL_DIR):
        problems.append("a program was started")
    return problems


def check_registry(machine, before, clean_key, outcome):
    try:
        after = read_registry(machine.root)
    except (OSError, CaseError, ValueError) as error:
        return ["system.reg is not a readable registry: %s" % error]
    problems = []
    for key, values in before.registry.items():
        if key not in after:
            problems.append("registry key %s is gone" % key)
            continue
        for lower, entry in values.items():
            if key == KEY_PATH and lower in WRITTEN_BY_RUN:
                continue
            if after[key].get(lower) != entry:
                problems.append("registry value %s\\%s changed or lost" % (key, entry[0]))
    for key, values in after.items():
        for lower, entry in values.items():
            if lower not in before.registry.get(key, {}) and not (
                    key == KEY_PATH and lower in WRITTEN_BY_RUN):
                problems.append("registry value %s\\%s appeared" % (key, entry[0]))
    if outcome == COMPLETE and after.get(KEY_PATH) != clean_key:
        problems.extend(["a complete run left the product's key other than a clean run:"] +
                        compare_values(clean_key, after.get(KEY_PATH, {})))
    return problems


def observed_outcome(code, boxes, starts):
    if not boxes:
        if code != 0:
            return ("exit", code)
        return COMPLETE if starts else SILENT
    kind, caption, text = boxes[0]
    m = re.fullmatch(r"Exception (\w+) in module setup\.exe at [0-9A-F]{8}\.\n(.*)\.", text,
                     re.S)
    if kind == 0x2010 and caption == "Application Error" and m and code == 1:
        if m.group(1) == "EInOutError" and LOOK_AHEAD_TEXTS.fullmatch(m.group(2)):
            return LOOK_AHEAD_REFUSAL
        if m.group(1) == "EInOutError" and NOT_REPLACED_TEXT.fullmatch(m.group(2)):
            return NOT_REPLACED
        return error_box(m.group(1), m.group(2))
    if kind == 0 and caption is None and code == 0:
        return ("refusal", text)
    return ("box", kind, caption, text, code)


def sweep_one(updater, pristine, scratch, clean, clean_key, before, number, code):
    """Runs the updater failed at call `number` with `code`; (outcome, problems)."""
    root = os.path.join(scratch, "run-%d-%d" % (number, code))
    subprocess.run(["cp", "-a", pristine, root], check=True)
    machine = FaultMachine(updater, scratch)
    machine.use_root(root)
    trace = os.path.join(scratch, "trace-%d-%d.txt" % (number, code))
    problems = []
    outcome = None
    try:
        exit_code, boxes, stderr = machine.run_with(
            {"WIN32EMU_FAULT": "%d:%d" % (number, code), "WIN32EMU_TRACE": trace})
        if exit_code is None:
            problems.append("hang: no end within %d s" % RUN_TIMEOUT)
            return ("hang",), problems
        if exit_code < 0:
            problems.append("ended by signal %d" % -exit_code)
        if SANITIZER_REPORT.search(stderr):
            problems.append("report on stderr: %s" % stderr.strip().splitlines()[0][:300])
        if len(boxes) > 1:
            problems.append("%d boxes" % len(boxes))
        traced = read_trace(trace)
        hit = [entry for entry in traced if entry[3] != 0]
        call, subject = clean.calls[number - 1]
        if hit != [(number, call, subject, code)]:
            problems.append("the fault did not hit call %d %s %s: %r" % (number, call, subject,
                                                                         hit))
        elif [entry[1:3] for entry in traced[:number]] != clean.calls[:number]:
            problems.append("the run's calls before the fault differ from the clean run's")
        outcome = observed_outcome(exit_code, boxes, machine.starts(INSTALL_DIR))
        allowed = clean.expected(number, code)
        if outcome not in allowed:
            problems.append("outcome: %s; expected %s" % (
                describe(outcome) if outcome[0] in ("error", "refusal", "silent", "complete")
                else repr(outcome), " or ".join(describe(x) for x in allowed)))
        problems.extend(check_files(machine, before))
        problems.extend(check_registry(machine, before, clean_key, outcome))
        if call in RUN_LOCK_CALLS:
            problems.extend(check_unchanged(machine, before))
        if outcome == LOOK_AHEAD_REFUSAL:
            problems.extend(check_unchanged(machine, before, WRITTEN_BEFORE_LOOK_AHEAD))
        if outcome == NOT_REPLACED:
            problems.extend(check_put_back(machine, before))
        return outcome, problems
    finally:
        remove_tree(root)
        if os.path.exists(trace):
            os.remove(trace)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", required=True, help="the built setup.exe (native build)")
    parser.add_argument("--fault-points", required=True,
                        help="the emulation's lister of its fault points (win32emu_fault_points)")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files)")
    parser.add_argument("--jobs", type=int, default=2, help="runs at a time (default 2)")
    parser.add_argument("--calls", help="sweep only these call numbers, e.g. 40-65,118")
    parser.add_argument("--list", action="store_true", help="list the clean run's calls only")
    args = parser.parse_args()
    updater = os.path.abspath(args.updater)
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="fault-sweep.")
    try:
        codes = read_fault_points(args.fault_points)
        not_swept = {call for call, numbers in codes.items() if not numbers}
        if RUN_LOCK_CALLS - set(codes):
            raise SweepError("run lock calls that are no fault points: %s"
                             % ", ".join(sorted(RUN_LOCK_CALLS - set(codes))))
        launchers = read_launcher_files(args.launcher_files)
        machine = FaultMachine(updater, scratch)
        set_up(machine, launchers)
        pristine = machine.root
        before = Snapshot(machine, launchers)

        # The clean run, traced on a copy.
        clean_root = pristine + "-clean"
        subprocess.run(["cp", "-a", pristine, clean_root], check=True)
        machine.use_root(clean_root)
        trace = os.path.join(scratch, "clean-trace.txt")
        exit_code, boxes, stderr = machine.run_with({"WIN32EMU_TRACE": trace})
        starts = machine.starts(INSTALL_DIR)
        if exit_code != 0 or boxes or len(starts) != 1 or SANITIZER_REPORT.search(stderr or ""):
            raise SweepError("the clean run did not complete: exit %r, boxes %r, starts %r, %s"
                             % (exit_code, boxes, starts, (stderr or "").strip()[:300]))
        clean_problems = check_files(machine, before) + check_registry(
            machine, before, read_registry(clean_root).get(KEY_PATH), None)
        if clean_problems:
            raise SweepError("the clean run breaks the checks: %s" % "; ".join(clean_problems))
        clean_key = read_registry(clean_root).get(KEY_PATH)
        clean = CleanRun([entry[1:3] for entry in read_trace(trace)], launchers)
        remove_tree(clean_root)
        if args.list:
            for number, (call, subject) in enumerate(clean.calls, 1):
                outcomes = "not swept" if call in not_swept else " or ".join(
                    describe(x) for x in clean.expected(number, codes[call][0]))
                print("%d\t%s\t%s\t%s" % (number, call, escape_log(subject), outcomes))
            return 0
        unknown = sorted({call for call, _ in clean.calls} - set(codes))
        if unknown:
            raise SweepError("calls that are no fault points: %s" % ", ".join(unknown))

        wanted = None
        if args.calls:
            wanted = set()
            for part in args.calls.split(","):
                low, _, high = part.partition("-")
                wanted.update(range(int(low), int(high or low) + 1))
        faults = [(number, code) for number, (call, _) in enumerate(clean.calls, 1)
                  if wanted is None or number in wanted for code in codes[call]]
        results = {}
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            futures = {pool.submit(sweep_one, updater, pristine, scratch, clean, clean_key,
                                   before, number, code): (number, code)
                       for number, code in faults}
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
    except SweepError as error:
        print("fault sweep: %s" % error)
        return 2
    finally:
        remove_tree(scratch)

    kinds = collections.Counter()
    violations = []
    for (number, code), (outcome, problems) in sorted(results.items()):
        kinds[kind_of(outcome) if outcome and outcome[0] in (
            "error", "refusal", "silent", "complete", LOOK_AHEAD_REFUSAL[0], NOT_REPLACED[0])
              else "other"] += 1
        call, subject = clean.calls[number - 1]
        for problem in problems:
            known = [why for known_call, matches, start, why in KNOWN_VIOLATIONS
                     if call == known_call and matches(subject) and problem.startswith(start)]
            violations.append("call %d %s %s failed with %d: %s%s"
                              % (number, call, escape_log(subject), code, problem,
                                 "  [known: %s]" % known[0] if known else ""))
    swept = len({number for number, _ in faults})
    print("fault sweep of %s" % updater)
    print("  calls in a clean run: %d, swept: %d (not swept: %s)" % (
        len(clean.calls), swept,
        ", ".join(sorted({call for call, _ in clean.calls} & not_swept)) or "none"))
    print("  faults injected: %d" % len(faults))
    for kind, count in sorted(kinds.items()):
        print("  %-32s %d" % (kind + ":", count))
    print("  violations: %d (in %d runs)" % (
        len(violations), sum(1 for _, problems in results.values() if problems)))
    for line in violations:
        print("VIOLATION " + line)
    print("  %.1f s" % (time.monotonic() - started))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
