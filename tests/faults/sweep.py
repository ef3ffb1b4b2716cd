#!/usr/bin/env python3
"""Fault sweep: a complete update run, failed at each of its platform calls in turn.

A fresh emulated machine holds the whole update: a product installed by installer 1.1 (no
"Version", no "ProductVersion", so the run writes the default) whose record keeps the "ToDo" of
an earlier update and no "ToDelPath", every launcher file (as list_launcher_files names them)
installed and in the package's NewExe\\, a content folder three levels deep, uninstall.inf,
and the product's own setup.exe. A clean run, traced (WIN32EMU_TRACE), lists the calls that ask
the emulation's fault hook. Then for every call n of that list and every error code that call
meets in practice (the emulation's table of fault points, as win32emu_fault_points lists it),
the updater runs on a fresh copy of the machine with WIN32EMU_FAULT=n:code, and the sweep checks

  - the outcome: the error box of the right class and message with exit code 1 where a
    line-file check, the registry or a stage reports the failure, a silent continuation where
    the run passes it over, and for the calls whose failure changes the course the outcomes the
    run allows (said beside each); never a signal, a sanitizer report, an unhandled exception, a
    hang or a second box; and that the fault hit the call it was meant for;
  - the machine the outcome leaves, whole: as it was (but for "ProductVersion" and
    "OldInstVer", written before the look-ahead); as the clean run leaves it; for a launcher
    file not put in place, the set put back and "Version" not written; for a failure of the
    content stage, the launcher stage done, no content folder, no staging folder, no temporary
    file, and "ToDo" and "ToDelPath" as before the run;
  - that nothing is lost: every launcher file installed before is still in InstallDir or
    saved whole in OldExe\\; every file in InstallDir is its old content or its package
    counterpart, never partial; no temporary file is left; the package is untouched; and
    system.reg reads whole and keeps every value it held, but for those the run writes;
  - that a run started again without a fault, after any outcome but a complete one, completes
    and leaves the machine as the clean run does.

The calls that only a failure reaches (the launcher set put back, the staging folder taken away,
the record put back) are swept in a second round: for each way a failure is handled, the run
with the most such calls is repeated with a second fault at each of them
(WIN32EMU_FAULT=n:code,m:code), and held to the same checks, eased only where the second
failure itself makes them impossible (said beside each).

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
# The content is copied into this folder beside the content folder, then renamed.
STAGING = "~~" + CONTENT[2:]
# The copy's list, under its temporary name until its copy begins.
PENDING_NAME = "~~pyList.lis"
PENDING_LIST = "C:\\TEMP\\" + PENDING_NAME
EARLIER_CONTENT = "Quests 2025"  # the earlier update's "ToDo"
LAST_LISTED = "Pallum 2.2"
# The values the run writes into the product's key by design; all others must stay as they were.
WRITTEN_BY_RUN = {"productversion", "oldinstver", "version", "makedeupdate", "todo", "todelpath"}
# The values that tell the product's setup of the content; a failed content stage keeps them.
CONTENT_RECORD = {"todo", "todelpath"}
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
    # The content stage keeps what the record says, to put it back should the content folder
    # not take its name: "ToDo" is there (asked for, then its size and its data), "ToDelPath"
    # is not.
    ("content-todo-kept", [("Q", "ToDo"), ("Q", "ToDo"), ("Q", "ToDo")]),
    ("content-path-kept", [("Q", "ToDelPath")]),
    ("content-stage-told", [("S", "ToDo"), ("S", "ToDelPath")]),
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
            5: "File access denied", 80: "File exists", 100: "Read beyond end of file",
            101: "Disk full", 106: "Invalid numeric input",
            110: "Cannot tell whether another update is running",
            258: "Another update is still running"}.get(code, "I/O error %d" % code)


def error_box(class_name, message):
    return ("error", class_name, message)


def io_error(code):
    return error_box("EInOutError", io_text(code))


def set_failure(name):
    return error_box("ERegistryException", "Failed to set data for '%s'" % name)


def delete_failure(name):
    return error_box("ERegistryException", "Failed to delete '%s'" % name)


def get_failure(name):
    return error_box("ERegistryException", "Failed to get data for '%s'" % name)


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
# The boxes of the stages, each naming the path where it failed: a launcher file (or OldExe\)
# that could not be put in place after all, the set put back and "Version" not written; a file
# or folder of the content not copied, the staging folder taken away; the staged content folder
# not renamed, the staging folder taken away and the record put back.
STAGE_BOXES = [
    ("not replaced", re.compile(
        r"A file of the product could not be replaced, and its files are as they were: close "
        r"the game and start the update again \((.*)\)", re.S)),
    ("content not copied", re.compile(
        r"A file of the update could not be copied, and the product's content folder was not "
        r"made: close the game, let the virus scanner release the file or free space on the "
        r"drive, then start the update again \((.*)\)", re.S)),
    ("content not put in place", re.compile(
        r"The update's content folder could not be put in place: close every program that "
        r"shows the product's folder, let the virus scanner release it, then start the update "
        r"again \((.*)\)", re.S)),
]


def not_replaced(path):
    return ("not replaced", path)


def content_not_copied(path):
    return ("content not copied", path)


def content_not_put(path):
    return ("content not put in place", path)


REFUSAL_START = "This updater can update only %s version!\r" % LAST_LISTED
NOTHING_INSTALLED = ("refusal", REFUSAL_START + "But nothing is installed!")
EMPTY_VERSION_REFUSED = ("refusal", REFUSAL_START + "Version  is installed already.")
SILENT = ("silent",)  # exit 0, no box, the product's setup program not started
COMPLETE = ("complete",)  # exit 0, no box, the product's setup program started
STAGE_KINDS = [kind for kind, _ in STAGE_BOXES]
KNOWN_KINDS = ("error", "refusal", "silent", "complete", LOOK_AHEAD_REFUSAL[0]) + tuple(
    STAGE_KINDS)


def describe(outcome):
    if outcome == LOOK_AHEAD_REFUSAL:
        return "error box EInOutError: " + outcome[0]
    if outcome[0] in STAGE_KINDS:
        return "error box EInOutError: %s (%s)" % outcome
    if outcome[0] == "error":
        return "error box %s %r" % (outcome[1], outcome[2] + ".")
    if outcome[0] == "refusal":
        return "refusal box %r" % escape_log(outcome[1])
    return {"silent": "silent end", "complete": "complete run"}.get(outcome[0], repr(outcome))


def kind_of(outcome):
    if outcome == LOOK_AHEAD_REFUSAL or outcome[0] in STAGE_KINDS:
        return "error box: " + outcome[0]
    if outcome[0] == "error":
        return "error box " + outcome[1]
    return {"refusal": "refusal box", "silent": "silent end", "complete": "complete run"}.get(
        outcome[0], "other")


# ---- what a run leaves ----

# The machine an outcome must leave (checked by check_state):
UNTOUCHED = "untouched"  # nothing changed at all
AS_BEFORE = "as before"  # nothing changed but the values written before the look-ahead
DONE = "done"  # as the clean run left it, the product's setup started
DONE_UNSTARTED = "done, not started"  # the same, the product's setup not started
PUT_BACK = "put back"  # the launcher set as before, copies of it in OldExe\, "Version" unwritten
# The new launcher set in place, the content stage not begun; "Version" as before, since the
# registry refused the record of the stage.
LAUNCHERS_UNRECORDED = "launchers unrecorded"
# The launcher stage done; no content folder, no staging folder, the content record as before.
CONTENT_UNDONE = "content undone"

# Deviations from the clean run's machine that a complete run may show after a fault, each
# where the fault makes it what the run was told (said where they are allowed).
SHORT_LISTING = "a content folder's listing ended early"
LAUNCHER_LEFT_OUT = "a launcher file not in NewExe\\ for the run"


class Expect:
    """An outcome the run may have after a fault, the machine it must then leave, and what
    that machine may lack or hold beside the state's own; `eased` tells a second fault's
    easing of the state's checks."""

    def __init__(self, outcome, state, allow=(), eased=None):
        self.outcome = outcome
        self.state = state
        self.allow = frozenset(allow)
        self.eased = eased

    def __repr__(self):
        return "%s, %s" % (describe(self.outcome), self.state)


def launcher_name(subject):
    """The launcher file that `subject` names in InstallDir or NewExe\\, or None."""
    for folder in (INSTALL_DIR, PACKAGE_DIR + "NewExe\\"):
        if subject.startswith(folder) and "\\" not in subject[len(folder):]:
            return subject[len(folder):]
    return None


def temporary_name(name):
    """The name a file or folder is written under before it takes `name` (as the run makes
    it: the first two characters become "~~", or "!!" where they are "~~")."""
    return ("!!" if name.startswith("~~") else "~~") + name[2:]


class CleanRun:
    """The traced clean run: its calls, and the role of each in the run."""

    def __init__(self, calls, launchers):
        self.calls = calls  # [(call, subject)]
        self.launchers = launchers
        self.step = {}  # call index -> (registry step, position of the operation in it)
        self.groups = {}  # registry step -> [numbers from its open to its close]
        self._label_registry_steps()
        self._find_stages()

    def _find_stages(self):
        """The look-ahead's calls: from the first after "OldInstVer" is written up to the
        launcher stage, which asks for NewExe\\ again; the launcher stage's, up to the record
        of its end; the content stage's, from the record of the launcher stage up to the
        rename of the staging folder."""
        start = self.groups["old-installer-version"][-1] + 1
        new_exe = [number for number, call in enumerate(self.calls, 1)
                   if call == ("GetFileAttributesA", PACKAGE_DIR + "NewExe\\")]
        if len(new_exe) != 2 or new_exe[0] != start:
            raise SweepError("the look-ahead is not where it belongs: NewExe\\ asked at %r"
                             % new_exe)
        self.look_ahead = range(start, new_exe[1])
        record = self.groups["launcher-stage-done"]
        self.launcher_stage = range(new_exe[1], record[0])
        self.launcher_record = range(record[0], record[-1] + 1)
        renames = [number for number, call in enumerate(self.calls, 1)
                   if call == ("MoveFileExA", INSTALL_DIR + STAGING)]
        if len(renames) != 1 or renames[0] < record[-1]:
            raise SweepError("the staging folder is renamed at %r" % renames)
        self.content_stage = range(record[-1] + 1, renames[0] + 1)
        # The copy's list is written by the look-ahead's walk, under its temporary name, and
        # read back in the content stage.
        made = [number for number, call in enumerate(self.calls, 1)
                if call == ("CreateFileA", PENDING_LIST)]
        rewound = [number for number, call in enumerate(self.calls, 1)
                   if call == ("SetFilePointer", PENDING_LIST)]
        if (len(made) != 1 or len(rewound) != 1 or made[0] not in self.look_ahead
                or rewound[0] not in self.content_stage):
            raise SweepError("CopyList.lis is made at %r and rewound at %r" % (made, rewound))

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
                current["close"] = number
                current = None
        found = [group["ops"] for group in groups]
        wanted = [ops for _, ops in REGISTRY_STEPS]
        if found != wanted:
            raise SweepError("the clean run's registry accesses are %r, not %r" % (found, wanted))
        for group, (label, _) in zip(groups, REGISTRY_STEPS):
            self.step[group["open"]] = (label, "open")
            self.step[group["close"]] = (label, "close")
            self.groups[label] = list(range(group["open"], group["close"] + 1))
            for position, number in enumerate(group["numbers"]):
                self.step[number] = (label, position)

    def expected(self, number, code):
        """What the run may do when call `number` fails with `code`: [Expect]."""
        call, subject = self.calls[number - 1]
        if call in RUN_LOCK_CALLS:
            # No telling whether another update runs: nothing is done.
            return [Expect(io_error(110), UNTOUCHED)]
        if call in ("RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"):
            return self._registry(number, call, subject)
        if number in self.look_ahead:
            if call == "GetFileAttributesA" and subject == PACKAGE_DIR + "NewExe\\":
                # No NewExe\ seen: the launcher files stay due, and the run ends as without one.
                return [Expect(SILENT, AS_BEFORE)]
            if subject == PENDING_LIST:
                # The copy's list, which the look-ahead's walk writes: every line-file operation
                # is checked at once, so is taking away the name where the list is made new,
                # and nothing has changed yet.
                return [Expect(io_error(code), AS_BEFORE)]
            if call in ("FindFirstFileW", "FindNextFileW", "FindFirstFileA",
                        "FindNextFileA") and code == 18:
                # "No more files" is how a listing ends: nothing tells it from the end of a
                # folder that holds no more, and the copy is whole as far as it was told.
                return [Expect(COMPLETE, DONE, {SHORT_LISTING})]
            # A failed look refuses, or finds nothing amiss and lets the run complete.
            return [Expect(LOOK_AHEAD_REFUSAL, AS_BEFORE), Expect(COMPLETE, DONE)]
        if number in self.launcher_stage:
            return self._launcher_stage(call, subject, code)
        if number in self.content_stage:
            return self._content_stage(number, call, subject, code)
        if number >= self.content_stage.stop:
            if call == "CreateProcessA":
                return [Expect(SILENT, DONE_UNSTARTED)]  # a start that fails passes in silence
            if call == "CloseHandle":
                return [Expect(COMPLETE, DONE)]  # the started program's handles: not examined
        # Before the version gate: the package's files.
        if call == "GetModuleFileNameA":
            # The package folder becomes "": options.inf or set.inf is looked for in the
            # current folder, where there is none.
            return [Expect(io_error(2), AS_BEFORE)]
        if call in ("CreateFileA", "ReadFile", "CloseHandle") and subject.endswith(
                ("\\options.inf", "\\set.inf")):
            return [Expect(io_error(code), AS_BEFORE)]  # every line-file operation is checked
        raise SweepError("no expectation for call %d %s %s" % (number, call, subject))

    def _registry(self, number, call, subject):
        step, position = self.step[number]
        if call == "RegCloseKey":
            return [Expect(COMPLETE, DONE)]  # a failed close is not examined
        # A key that does not open: every value reads as absent, every write fails; a failed
        # size query makes the value absent; a failed data query is reported.
        before_look_ahead = {
            "record-exists": [Expect(NOTHING_INSTALLED, AS_BEFORE)],
            # "ProductVersion" is absent anyway; the default is written
            "product-version-asked": [Expect(COMPLETE, DONE)],
            "product-version-default": [Expect(set_failure("ProductVersion"), AS_BEFORE)],
            # "ProductVersion" absent: the run ends without a message
            "product-version-asked-again": [Expect(SILENT, AS_BEFORE)],
            # the version reads as "", which is not listed
            "product-version-read": [Expect(
                EMPTY_VERSION_REFUSED if position in ("open", 0) else
                get_failure("ProductVersion"), AS_BEFORE)],
            "installer-version-read": [Expect(COMPLETE, DONE)],  # "Version" is absent anyway
            "old-installer-version": [Expect(set_failure("OldInstVer"), AS_BEFORE)],
        }
        if step in before_look_ahead:
            return before_look_ahead[step]
        if step == "launcher-stage-done":
            # The new set is in place; "Version", written last as the sign of the stage done, is
            # as it was, so that the next run comes back to the stage, finds the files in place,
            # and writes the record whole.
            name = "MakeDeUpdate" if position in ("open", 0) else "Version"
            return [Expect(set_failure(name), LAUNCHERS_UNRECORDED)]
        if step == "content-todo-kept":
            # "ToDo" not seen is kept as absent, its size not read as "", neither of which the
            # complete run needs; its data not read is reported before the content stage has
            # changed anything.
            if position in ("open", 0, 1):
                return [Expect(COMPLETE, DONE)]
            return [Expect(get_failure("ToDo"), CONTENT_UNDONE)]
        if step == "content-path-kept":
            return [Expect(COMPLETE, DONE)]  # "ToDelPath" is absent anyway
        if step == "content-stage-told":
            # The record cannot tell of the content: the staged folder is taken away, and
            # what was written is put back.
            name = "ToDo" if position in ("open", 0) else "ToDelPath"
            return [Expect(set_failure(name), CONTENT_UNDONE)]
        raise SweepError("no expectation for call %d %s %s" % (number, call, subject))

    def _launcher_stage(self, call, subject, code):
        name = launcher_name(subject)
        installed = INSTALL_DIR + name if name else None
        if call == "GetFileAttributesA" and subject == PACKAGE_DIR + "NewExe\\":
            # No NewExe\: the launcher files stay due and the run ends silently.
            return [Expect(SILENT, AS_BEFORE)]
        if call == "CreateDirectoryA" and subject == INSTALL_DIR + "OldExe\\":
            # No installed file can be saved: the stage ends before it changes a file.
            return [Expect(not_replaced(subject), PUT_BACK)]
        if call == "GetFileAttributesA" and subject.startswith(PACKAGE_DIR):
            if code == 2:
                # A file not found is one the package does not bring: the installed one stays,
                # as a package without it leaves it.
                return [Expect(COMPLETE, DONE, {LAUNCHER_LEFT_OUT + ": " + name})]
            # A file of NewExe\ that is there and cannot be seen is not put in place.
            return [Expect(not_replaced(installed), PUT_BACK)]
        if call == "GetFileAttributesA":
            # An installed file not seen is not saved, and the new one does not take its name
            # while it is there.
            return [Expect(not_replaced(installed), PUT_BACK)]
        if call == "CloseHandle" and subject == installed:
            # The comparison's handle of the installed file does not close: it holds the file
            # against the rename over it, and the set is put back.
            return [Expect(not_replaced(installed), PUT_BACK)]
        if call in ("CreateFileA", "ReadFile", "CloseHandle"):
            # The comparison with NewExe\'s file: one that cannot be read is not the same, and
            # is replaced.
            return [Expect(COMPLETE, DONE)]
        if (call == "CopyFileA" and name) or call == "MoveFileExA":
            # Saving the installed file, writing the new one under its temporary name, or the
            # rename over the installed file; tried again while another program holds it.
            if code == 32 or (call == "MoveFileExA" and code == 5):
                return [Expect(COMPLETE, DONE)]
            if call == "MoveFileExA":
                name = self._launcher_of_temporary(subject)
            return [Expect(not_replaced(INSTALL_DIR + name), PUT_BACK)]
        raise SweepError("no expectation for %s %s in the launcher stage" % (call, subject))

    def _launcher_of_temporary(self, subject):
        for name in self.launchers:
            if INSTALL_DIR + temporary_name(name) == subject:
                return name
        raise SweepError("%s is no launcher file's temporary name" % subject)

    def _content_stage(self, number, call, subject, code):
        source = PACKAGE_DIR + CONTENT + "\\"
        staging = INSTALL_DIR + STAGING + "\\"
        if call == "GetFileAttributesA" and subject == INSTALL_DIR + CONTENT + "\\":
            return [Expect(COMPLETE, DONE)]  # not seen: it is not there anyway
        if call == "CreateDirectoryA" and subject == staging:
            if code == 183:
                # Taken for one that a run ended part way left: what is there is taken away,
                # and the folder made again.
                return [Expect(COMPLETE, DONE)]
            # The staging folder not made: the stage ends before it has changed anything.
            return [Expect(io_error(code), CONTENT_UNDONE)]
        if subject == PENDING_LIST and call == "MoveFileExA":
            if code in (5, 32):
                return [Expect(COMPLETE, DONE)]  # tried again while another program holds it
            # The list does not take its name: the staging folder is taken away.
            return [Expect(io_error(code), CONTENT_UNDONE)]
        if subject == PENDING_LIST and call in ("WriteFile", "SetFilePointer", "ReadFile",
                                                "CloseHandle"):
            # Every line-file operation is checked at once. The staging folder is taken away.
            return [Expect(io_error(code), CONTENT_UNDONE)]
        if call == "CopyFileA":
            if code == 32:
                return [Expect(COMPLETE, DONE)]  # tried again while another program holds it
            return [Expect(content_not_copied(subject), CONTENT_UNDONE)]
        if call == "CreateDirectoryA" and subject.startswith(staging):
            # A subfolder not made: told by its folder in the package.
            return [Expect(content_not_copied(source + subject[len(staging):]), CONTENT_UNDONE)]
        if call == "MoveFileExA" and subject == INSTALL_DIR + STAGING:
            if code in (5, 32):
                return [Expect(COMPLETE, DONE)]  # tried again while another program holds it
            return [Expect(content_not_put(INSTALL_DIR + CONTENT + "\\"), CONTENT_UNDONE)]
        raise SweepError("no expectation for call %d %s %s in the content stage"
                         % (number, call, subject))



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
        "; The product as its installer 1.1 left it: no \"Version\", no \"ProductVersion\"; the\n"
        "; \"ToDo\" of an earlier update, whose \"ToDelPath\" the product's setup took away.\n"
        "[HKEY_LOCAL_MACHINE\\Software\\%s]\n"
        "\"ProductName\"=\"Brask Quests Installer: Pallum\"\n"
        "\"InstallDir\"=\"C:\\\\WINDOWS\\\\%s\\\\\"\n"
        "\"Quests\"=dword:00000003\n"
        "\"ToDo\"=\"%s\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Brask\\Shared]\n"
        "\"Path\"=\"C:\\\\Brask\\\\\"\n"
        "\"Flags\"=hex:01,02,03\n\n" % (PRODUCT_KEY, PRODUCT_KEY, EARLIER_CONTENT))
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
    write_file(os.path.join(install, EARLIER_CONTENT, "old.qst"), b"an earlier update's quest\r\n")
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
        self.key = self.registry.get(KEY_PATH, {})


class CleanEnd:
    """What the clean run left: InstallDir, and the product's key."""

    def __init__(self, machine):
        self.install = read_tree(machine.host_path(INSTALL_DIR))
        self.key = read_registry(machine.root).get(KEY_PATH, {})


def allowed_contents(before, rel):
    """The contents that a file of InstallDir may hold: its old content, or that of its
    package counterpart; a temporary name, what is written under it."""
    parts = rel.split(os.sep)
    allowed = [before.install[rel]] if rel in before.install else []
    if len(parts) == 1:
        for name in before.launchers:
            if parts[0] in (name, temporary_name(name)):
                # The new file; under the temporary name also the saved one, put back.
                allowed.append(before.package.get(os.path.join("NewExe", name)))
                if parts[0] != name:
                    allowed.append(before.install.get(name))
    if len(parts) == 2 and parts[0] == "OldExe":
        allowed.append(before.install.get(parts[1]))  # a saved launcher file: the one installed
    if parts[0] in (CONTENT, STAGING):
        allowed.append(before.package.get(os.path.join(CONTENT, *parts[1:])))
    if rel == "uninstall.in":
        allowed.append(before.package.get("uninstall.inf"))
    return [data for data in allowed if data is not None]


def windows(rel):
    return rel.replace(os.sep, "\\")


def is_temporary(rel):
    return rel.split(os.sep)[0].startswith(("~~", "!!"))


def check_files(machine, before, left=()):
    """Problems where anything is lost, partial or foreign, or a temporary is left; `left`:
    the temporary names (at the top of InstallDir) that may stay, whole."""
    problems = []
    install = read_tree(machine.host_path(INSTALL_DIR))
    for name in before.launchers:
        old = before.install[name]
        if install.get(name) != old and install.get(os.path.join("OldExe", name)) != old:
            problems.append("launcher file %s lost: neither in InstallDir nor in OldExe\\ with "
                            "its old content" % name)
    for rel, data in sorted(install.items()):
        if is_temporary(rel) and rel.split(os.sep)[0] not in left:
            problems.append("temporary left: InstallDir\\%s" % windows(rel))
            continue
        if data is None or data == before.install.get(rel):
            continue
        allowed = allowed_contents(before, rel)
        if not allowed:
            problems.append("InstallDir holds %s, which is neither old nor from the package"
                            % windows(rel))
        elif data not in allowed:
            problems.append("InstallDir\\%s is partial or wrong: %d bytes, neither its old "
                            "content nor the package's" % (windows(rel), len(data)))
    for rel, data in sorted(before.install.items()):
        if rel not in install and not (len(rel.split(os.sep)) == 1 and rel in before.launchers):
            problems.append("InstallDir\\%s is gone" % windows(rel))
    if read_tree(machine.host_path(PACKAGE_DIR)) != before.package:
        problems.append("the package folder changed")
    for folder, _, files in os.walk(machine.root):
        for name in files:
            if name.startswith(".~copy-") or name == "system.reg.new" or (
                    name == PENDING_NAME and PENDING_NAME not in left):
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


def compare_install(install, expected, optional=(), either=None):
    """Problems where InstallDir differs from `expected`; the paths in `optional` may be
    missing, and `either(rel, data)` may accept a difference."""
    problems = []
    for rel in sorted(set(install) | set(expected)):
        if rel not in install:
            if rel not in optional:
                problems.append("InstallDir\\%s missing" % windows(rel))
        elif install[rel] != expected.get(rel, b"unexpected") and not (
                either and either(rel, install[rel])):
            problems.append("InstallDir\\%s %s" % (windows(rel), "unexpected"
                                                   if rel not in expected else "differs"))
    return problems


def compare_key(after, expected, absent_or_expected=(), alternatives=None):
    """Problems where the product's key differs from `expected`; the values named in
    `absent_or_expected` may be missing, those in `alternatives` may hold one of its entries
    (None for none)."""
    problems = []
    alternatives = alternatives or {}
    for lower in sorted(set(after) | set(expected) | set(alternatives)):
        got = after.get(lower)
        if lower in alternatives:
            if got not in alternatives[lower]:
                problems.append("the record's %r is %r, none of %r" % (
                    lower, got, alternatives[lower]))
        elif got != expected.get(lower) and not (got is None and lower in absent_or_expected):
            problems.extend(compare_values({lower: expected[lower]} if lower in expected else {},
                                           {lower: got} if got else {}))
    return problems


def under(folder, tree):
    return {rel for rel in tree if rel == folder or rel.startswith(folder + os.sep)}


def check_state(machine, before, clean_end, expect, left=()):
    """Problems where the machine is not the one `expect` says the run leaves; `left`: the
    temporary names that a second failure may leave."""
    state, eased = expect.state, expect.eased or frozenset()
    if state == UNTOUCHED:
        return check_unchanged(machine, before)
    if state == AS_BEFORE:
        return check_unchanged(machine, before, WRITTEN_BEFORE_LOOK_AHEAD)
    problems = []
    install = read_tree(machine.host_path(INSTALL_DIR))
    key = read_registry(machine.root).get(KEY_PATH, {})
    starts = machine.starts(INSTALL_DIR)
    if len(starts) != (1 if state == DONE else 0):
        problems.append("%d starts of the product's setup" % len(starts))
    # What stays of the record where the content stage failed.
    content_record = {lower: [before.key.get(lower)] for lower in CONTENT_RECORD}
    if "record" in eased:
        # The registry refused to take the record back: it may tell of the new content.
        content_record = {lower: [before.key.get(lower), clean_end.key.get(lower)]
                          for lower in CONTENT_RECORD}
    if state in (DONE, DONE_UNSTARTED):
        expected = dict(clean_end.install)
        optional = set()
        for allowance in expect.allow:
            if allowance == SHORT_LISTING:
                optional |= under(CONTENT, expected) - {CONTENT}
            elif allowance.startswith(LAUNCHER_LEFT_OUT):
                name = allowance.split(": ", 1)[1]
                expected[name] = before.install[name]
                expected.pop(os.path.join("OldExe", name), None)
        problems += compare_install(install, expected, optional)
        problems += compare_key(key, clean_end.key)
    elif state == PUT_BACK:
        expected = dict(before.install)
        saved = {os.path.join("OldExe", name): before.install[name] for name in before.launchers}
        expected.update(saved, OldExe=None)
        new = {name: before.package.get(os.path.join("NewExe", name)) for name in before.launchers}
        problems += compare_install(
            install, expected, set(saved) | {"OldExe"},
            # A second failure may keep a launcher file from being put back: it is the new one.
            lambda rel, data: ("left" in eased and new.get(rel) == data) or rel in left)
        problems += compare_key(key, before.key, absent_or_expected=WRITTEN_BEFORE_LOOK_AHEAD,
                                alternatives={lower: [None, clean_end.key.get(lower)]
                                              for lower in WRITTEN_BEFORE_LOOK_AHEAD})
        if "version" in key:
            problems.append("\"Version\" written though the launcher files were not replaced")
        if read_list(machine) != before.copy_list:
            problems.append("CopyList.lis changed")
    elif state in (LAUNCHERS_UNRECORDED, CONTENT_UNDONE):
        expected = {rel: data for rel, data in clean_end.install.items()
                    if rel not in under(CONTENT, clean_end.install)}
        optional = set()
        if state == CONTENT_UNDONE:
            optional.add("uninstall.in")  # the package's, copied before the content is renamed
        else:
            expected.pop("uninstall.in")
        staging = under(STAGING, install) if STAGING in left else set()
        problems += compare_install(install, expected, optional,
                                    lambda rel, data: rel in staging)
        if CONTENT in install:
            problems.append("the content folder is there")
        if STAGING in install and STAGING not in staging:
            problems.append("the staging folder is left")
        alternatives = dict(content_record)
        if state == LAUNCHERS_UNRECORDED:
            alternatives["makedeupdate"] = [None, clean_end.key.get("makedeupdate")]
            alternatives["version"] = [before.key.get("version")] + (
                [clean_end.key.get("version")] if "record" in eased else [])
            if read_list(machine) != before.copy_list:
                problems.append("CopyList.lis changed")
        problems += compare_key(key, clean_end.key, alternatives=alternatives)
    else:
        raise SweepError("no such state: %s" % state)
    return problems


def check_registry(machine, before):
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
        for stage_kind, pattern in STAGE_BOXES:
            stage = pattern.fullmatch(m.group(2))
            if m.group(1) == "EInOutError" and stage:
                return (stage_kind, stage.group(1))
        return error_box(m.group(1), m.group(2))
    if kind == 0 and caption is None and code == 0:
        return ("refusal", text)
    return ("box", kind, caption, text, code)


def check_next_run(machine, before, clean_end, expect=None):
    """Problems where a run started again without a fault does not complete as the clean
    run does. Where the registry refused to take "Version" back after it refused the rest of
    the launcher stage's record, the record tells of the stage done, and the next run does not
    write "MakeDeUpdate"."""
    unwritten = ()
    if expect and expect.state == LAUNCHERS_UNRECORDED and "record" in (expect.eased or ()):
        unwritten = ("makedeupdate",)
    problems = []
    starts = len(machine.starts(INSTALL_DIR))
    exit_code, boxes, stderr = machine.run_with({})
    if exit_code is None:
        return ["the next run hangs"]
    if SANITIZER_REPORT.search(stderr):
        problems.append("the next run reports on stderr: %s"
                        % stderr.strip().splitlines()[0][:300])
    outcome = observed_outcome(exit_code, boxes, machine.starts(INSTALL_DIR)[starts:])
    if outcome != COMPLETE or len(machine.starts(INSTALL_DIR)) != starts + 1:
        return problems + ["the next run ends with %s" % describe(outcome)]
    install = read_tree(machine.host_path(INSTALL_DIR))
    differences = compare_install(install, clean_end.install) + compare_key(
        read_registry(machine.root).get(KEY_PATH, {}), clean_end.key, unwritten)
    if differences:
        problems.append("the next run leaves the machine other than the clean run: "
                        + "; ".join(differences))
    problems += ["after the next run: " + problem for problem in check_files(machine, before)]
    return problems


def sweep_one(job):
    """Runs the updater with the faults of `job`; (outcome, problems, traced calls)."""
    faults = job.faults
    tag = "-".join("%d-%d" % fault for fault in faults)
    root = os.path.join(job.scratch, "run-" + tag)
    subprocess.run(["cp", "-a", job.pristine, root], check=True)
    machine = FaultMachine(job.updater, job.scratch)
    machine.use_root(root)
    trace = os.path.join(job.scratch, "trace-%s.txt" % tag)
    problems = []
    outcome = None
    calls = []
    try:
        exit_code, boxes, stderr = machine.run_with(
            {"WIN32EMU_FAULT": ",".join("%d:%d" % fault for fault in faults),
             "WIN32EMU_TRACE": trace})
        traced = read_trace(trace)
        calls = [entry[1:3] for entry in traced]
        if exit_code is None:
            problems.append("hang: no end within %d s" % RUN_TIMEOUT)
            return ("hang",), problems, calls
        if exit_code < 0:
            problems.append("ended by signal %d" % -exit_code)
        if SANITIZER_REPORT.search(stderr):
            problems.append("report on stderr: %s" % stderr.strip().splitlines()[0][:300])
        if len(boxes) > 1:
            problems.append("%d boxes" % len(boxes))
        hit = [entry for entry in traced if entry[3] != 0]
        meant = [(number, *job.calls[number - 1], code) for number, code in faults]
        if hit != meant:
            problems.append("the faults did not hit %r: %r" % (meant, hit))
        elif calls[:faults[-1][0]] != job.calls[:faults[-1][0]]:
            problems.append("the run's calls before the fault differ from those it was meant "
                            "for")
        outcome = observed_outcome(exit_code, boxes, machine.starts(INSTALL_DIR))
        matched = [expect for expect in job.allowed if expect.outcome == outcome]
        if not matched:
            problems.append("outcome: %s; expected %s" % (
                describe(outcome), " or ".join(describe(x.outcome) for x in job.allowed)))
        problems.extend(check_files(machine, before=job.before, left=job.left))
        problems.extend(check_registry(machine, job.before))
        if matched:
            problems.extend(check_state(machine, job.before, job.clean_end, matched[0],
                                        job.left))
            if matched[0].state not in (DONE, DONE_UNSTARTED):
                problems.extend(check_next_run(machine, job.before, job.clean_end, matched[0]))
        return outcome, problems, calls
    finally:
        remove_tree(root)
        if os.path.exists(trace):
            os.remove(trace)


# ---- the second round: a failure while a failure is handled ----

# How a handled failure may end where a second call fails (checked as the first's state with
# these easings): a registry call that puts the record back raises its own failure, and the
# record may then still tell of the content the run did not put in place; a file step that
# takes the staging folder or a temporary file away may leave it, whole, for the next run to
# reuse or write over; a launcher file not put back is the new one, whole. Nothing may be lost,
# the content folder must not appear, and the next run must complete as the clean run does.
def second_expected(opener_calls, first, expect, number, code):
    call, subject = opener_calls[number - 1]
    if call == "RegCloseKey":
        return [expect]  # a failed close is not examined
    if call in ("RegOpenKeyExA", "RegSetValueExA", "RegDeleteValueA"):
        value = next((entry for entry in opener_calls[number - 1:]
                      if entry[0] in ("RegSetValueExA", "RegDeleteValueA")), None)
        if value is None:
            raise SweepError("no value written after call %d %s" % (number, call))
        failure = (set_failure if value[0] == "RegSetValueExA" else delete_failure)(value[1])
        return [Expect(failure, expect.state, eased={"record"})]
    if call in ("RegQueryValueExA",):
        raise SweepError("no expectation for call %d %s after call %d" % (number, call, first))
    return [Expect(expect.outcome, expect.state, eased={"left"})]


def handles_failure(call, subject, launchers, record_written):
    """True for a call by which the run handles a stage's failure: the staging folder taken
    away, the record put back, the launcher set put back and a temporary name cleared. (Not the
    error box's own calls, nor the stage's own steps that go on after a failure it meets later.)"""
    staging = INSTALL_DIR + STAGING
    if (subject == staging or subject.startswith(staging + "\\")) and call != "CreateDirectoryA":
        return True
    if record_written and call in ("RegOpenKeyExA", "RegSetValueExA", "RegDeleteValueA",
                                   "RegCloseKey"):
        return True
    if call == "CopyFileA" and subject.startswith(INSTALL_DIR + "OldExe\\"):
        return True
    rel = subject[len(INSTALL_DIR):] if subject.startswith(INSTALL_DIR) else None
    return call in ("MoveFileExA", "DeleteFileA") and rel is not None and (
        is_temporary(rel) or rel in launchers)


def left_by(calls, number):
    """The temporary names at the top of InstallDir that a failure of call `number` may leave:
    the staging folder where it is being taken away, a launcher file's temporary name where
    its deletion fails; and in the temporary folder, the command list written ahead where it
    is being taken away."""
    call, subject = calls[number - 1]
    staging = INSTALL_DIR + STAGING
    if subject == staging or subject.startswith(staging + "\\"):
        return (STAGING,)
    if subject == PENDING_LIST:
        return (PENDING_NAME,)  # the list written ahead, where it is being taken away
    if call == "DeleteFileA" and subject.startswith(INSTALL_DIR) and is_temporary(
            subject[len(INSTALL_DIR):]):
        return (subject[len(INSTALL_DIR):],)
    return ()


def parse_calls(text):
    wanted = set()
    for part in text.split(","):
        low, _, high = part.partition("-")
        wanted.update(range(int(low), int(high or low) + 1))
    return wanted


def run_jobs(jobs, count):
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max(1, count)) as pool:
        futures = {pool.submit(sweep_one, job): job for job in jobs}
        for future in concurrent.futures.as_completed(futures):
            results[futures[future].faults] = future.result()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", required=True, help="the built setup.exe (native build)")
    parser.add_argument("--fault-points", required=True,
                        help="the emulation's lister of its fault points (win32emu_fault_points)")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files)")
    parser.add_argument("--jobs", type=int, default=2, help="runs at a time (default 2)")
    parser.add_argument("--calls", help="sweep only these call numbers, e.g. 40-65,118 (and no "
                        "second round)")
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
        clean_problems = check_files(machine, before) + check_registry(machine, before)
        clean_end = CleanEnd(machine)
        if CONTENT not in clean_end.install or clean_end.key.get("todo") == before.key.get(
                "todo"):
            clean_problems.append("the clean run put no content in place")
        if clean_problems:
            raise SweepError("the clean run breaks the checks: %s" % "; ".join(clean_problems))
        clean = CleanRun([entry[1:3] for entry in read_trace(trace)], launchers)
        # A second clean run starts the product's setup again and changes nothing else.
        again = check_next_run(machine, before, clean_end)
        if again:
            raise SweepError("a run after the clean run: %s" % "; ".join(again))
        remove_tree(clean_root)
        if args.list:
            for number, (call, subject) in enumerate(clean.calls, 1):
                outcomes = "not swept" if call in not_swept else " or ".join(
                    repr(x) for x in clean.expected(number, codes[call][0]))
                print("%d\t%s\t%s\t%s" % (number, call, escape_log(subject), outcomes))
            return 0
        unknown = sorted({call for call, _ in clean.calls} - set(codes))
        if unknown:
            raise SweepError("calls that are no fault points: %s" % ", ".join(unknown))

        wanted = parse_calls(args.calls) if args.calls else None
        common = dict(updater=updater, pristine=pristine, scratch=scratch, before=before,
                      clean_end=clean_end)
        jobs = [types.SimpleNamespace(faults=((number, code),), calls=clean.calls,
                                      allowed=clean.expected(number, code), left=(), **common)
                for number, (call, _) in enumerate(clean.calls, 1)
                if wanted is None or number in wanted for code in codes[call]]
        results = run_jobs(jobs, args.jobs)

        # The second round: of the runs that handle a failure of a stage, per way of ending,
        # the one with the most calls that handle it.
        openers = {}
        for job in jobs:
            outcome, problems, calls = results[job.faults]
            matched = [x for x in job.allowed if x.outcome == outcome]
            if wanted is not None or problems or not matched or matched[0].state not in (
                    PUT_BACK, LAUNCHERS_UNRECORDED, CONTENT_UNDONE):
                continue
            first = job.faults[0][0]
            handling = []
            for number in range(first + 1, len(calls) + 1):
                call, subject = calls[number - 1]
                # A rename under a temporary name puts a launcher file back only after the
                # saved one is copied there: before it, it is the stage's own step tried again.
                if call == "MoveFileExA" and not subject.startswith(INSTALL_DIR + STAGING) and (
                        not handling or calls[handling[-1] - 1][0] != "CopyFileA"):
                    continue
                if handles_failure(call, subject, launchers,
                                   first >= clean.launcher_record.start):
                    handling.append(number)
            if not handling:
                continue
            way = (kind_of(outcome), matched[0].state)
            if way not in openers or len(handling) > len(openers[way][0]):
                openers[way] = (handling, job, matched[0], calls)
        second = []
        for handling, job, expect, calls in openers.values():
            first = job.faults[0][0]
            for number in handling:
                call = calls[number - 1][0]
                if call not in codes:
                    raise SweepError("calls that are no fault points: %s" % call)
                for code in codes[call]:
                    second.append(types.SimpleNamespace(
                        faults=(job.faults[0], (number, code)), calls=calls,
                        allowed=second_expected(calls, first, expect, number, code),
                        left=left_by(calls, number), **common))
        results.update(run_jobs(second, args.jobs))
    except SweepError as error:
        print("fault sweep: %s" % error)
        return 2
    finally:
        remove_tree(scratch)

    kinds = collections.Counter()
    violations = []
    for job in jobs + second:
        outcome, problems, _ = results[job.faults]
        if len(job.faults) == 1:
            kinds[kind_of(outcome) if outcome and outcome[0] in KNOWN_KINDS else "other"] += 1
        faults = " then ".join("call %d %s %s failed with %d" % (
            number, job.calls[number - 1][0], escape_log(job.calls[number - 1][1]), code)
            for number, code in job.faults)
        call, subject = job.calls[job.faults[-1][0] - 1]
        for problem in problems:
            known = [why for known_call, matches, start, why in KNOWN_VIOLATIONS
                     if call == known_call and matches(subject) and problem.startswith(start)]
            violations.append("%s: %s%s" % (faults, problem,
                                             "  [known: %s]" % known[0] if known else ""))
    swept = len({job.faults[0][0] for job in jobs})
    print("fault sweep of %s" % updater)
    print("  calls in a clean run: %d, swept: %d (not swept: %s)" % (
        len(clean.calls), swept,
        ", ".join(sorted({call for call, _ in clean.calls} & not_swept)) or "none"))
    print("  faults injected: %d" % len(jobs))
    for kind, count in sorted(kinds.items()):
        print("  %-40s %d" % (kind + ":", count))
    print("  second faults, while a failure is handled: %d, after %d first ones" % (
        len(second), len({job.faults[0] for job in second})))
    print("  violations: %d (in %d runs)" % (
        len(violations), sum(1 for job in jobs + second if results[job.faults][1])))
    for line in violations:
        print("VIOLATION " + line)
    print("  %.1f s" % (time.monotonic() - started))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
