#!/usr/bin/env python3
"""Complete runs of the updater killed at every call, each followed by a run to the end.

A small complete update: the product, installed by installer 1.3 with no "ProductVersion", has
every launcher file (as list_launcher_files names them) and no OldExe\\; the package's NewExe\\
brings other bytes for each, and its content folder is a tree three levels deep with an empty
folder. A complete run on a fresh machine gives the reference: its calls, and the state it
ends in.

Natively, on a fresh copy of the machine as it was before, for every call n of the traced
reference run the updater runs with WIN32EMU_KILL=n, and for every call that writes data (the
emulation's fault points marked so, as win32emu_fault_points lists them) once more with
WIN32EMU_KILL=n:half. The killed run must end by SIGKILL at call n, the call the reference made
there. What it left must hold:

- nothing lost: each launcher file's installed bytes are in InstallDir or whole in OldExe\\;
- nothing torn: each launcher file in InstallDir holds its old bytes or its new ones whole; the
  content folder, where it has its name, is whole; every other file outside the staging folder
  and the temporary names ("~~" or "!!" for the first two characters) holds its bytes from
  before or from after the reference run, but for two copies that go straight to their name,
  as CopyFile writes on Windows: OldExe\\<launcher> while InstallDir still holds the installed
  bytes, and uninstall.in (which the product's setup reads only once the run has started it);
  each is copied again by the next run. The suite counts the kills that leave either;
- system.reg parses whole and holds every key and value it held, each value as it was before
  or as the reference leaves it, and no other value; no box was shown; the package is as it
  was.

Then the updater runs again, uninterrupted, and the machine must end as the reference did:
exit code 0, no box, InstallDir's tree byte for byte (OldExe\\ holding the files from before),
with no staging folder or temporary file; the rest of drive C (the package included) but for
the command list, CopyList.lis, which every run leaves in the temporary folder; every value of
every key of system.reg. The product's setup is started by the final run, once, as the
reference starts it; the killed run has started it too exactly where its kill came after the
reference's start (a run killed after the start is a complete run, and the next one finds the
content in place and starts the setup again), so exec.log holds one start or two.

Last, a complete run is followed by a second one: it changes nothing in InstallDir (OldExe\\
keeps the files from before) or the registry, and starts the product's setup again.

Under Wine (--wine), with the Windows build, the acceptance suite's recorder as the product's
setup program (its NewExe\\ and installed copies told apart by the bytes after the program),
and one prefix reset between rounds: the reference run is timed, and runs are killed at a few
seeded moments of that time by ending every process of the prefix at once (wineserver -k);
each is followed by a run to the end, which must end as the reference did: exit code 0, no
box, InstallDir, the package, the two products' keys, the product's setup started by the final
run (and by the killed one at most once before). Skipped where Wine is missing or cannot run
the program.

Each failure names the kill (n or n:half and the call, or the moment) and what differs. The
machines and the registry parser are the suites' shared ones (tests/support/py).
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import types

import wine_program  # Wine's starts that fail
from launcher_files import read_launcher_files
from log_text import b2s, escape_log, unescape
from native_machine import NativeMachine
from registry_text import compare_values, describe_value, parse_reg
from trees import read_tree, remove_tree
from wine_machine import STARTED_SUFFIX, WineMachine
from wine_program import wine64_loader

PRODUCT_KEY = "BraskQuestsInstallerPallum"
OTHER_KEY = "BraskQuestsInstallerOriginal"
PACKAGE_DIR = "C:\\Pkg\\"
CONTENT = "Quests2024"
# Files that the package holds read-only, as files unpacked from a disc are: their copies are
# read-only too, and a run started again must still take them away or copy over them.
READ_ONLY = ("/Readme.txt", "NewExe/setup.exe")
STAGING = "~~" + CONTENT[2:]  # the content folder's temporary name beside it
COMMAND_LIST = "TEMP/CopyList.lis"  # natively, relative to drive C
RUN_TIMEOUT = 30  # seconds; a native run takes milliseconds, so reaching this is a hang
SKIP = 77  # the Wine suites' code for "cannot run here"

REGISTRY = """REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\%s]
"ProductName"="Brask Quests Installer: Pallum"
"Version"="1.3"
"ToDo"="Quests2019"
"ToDelPath"="C:\\\\Old Pkg\\\\"
"Players"=dword:00000004

[HKEY_LOCAL_MACHINE\\Software\\%s]
"ProductVersion"="1.00"
"Version"="1.3.1"
"ToDo"="Quests2019"
""" % (PRODUCT_KEY, OTHER_KEY)


def build_trees(launchers, setup_program=None):
    """The package and InstallDir before the run: {relative path with '/': bytes, or None for
    a folder}. With `setup_program`, the installed and the new setup.exe are that program
    followed by bytes of their own."""
    rng = random.Random(20241209)
    package = {
        "options.inf": b"Brask Quests\r\n%s\r\n" % PRODUCT_KEY.encode() + b"x\r\n" * 12,
        "set.inf": b"%s\r\nQuest pack 2024\r\n1.00\r\nPallum 2.2\r\n[end]\r\n" % CONTENT.encode(),
        "uninstall.inf": b"[uninstall]\r\n" + rng.randbytes(3000),
        "NewExe": None,
    }
    install = {"Saves": None, "Saves/slot1.sav": rng.randbytes(700),
               "uninstall.in": b"[uninstall]\r\nold\r\n"}
    for name in launchers:
        # Natively not executable: exec.log tells the start, and nothing runs on behind the
        # suite.
        package["NewExe/" + name] = rng.randbytes(5000)
        install[name] = rng.randbytes(4000)
    if setup_program is not None and "setup.exe" in launchers:
        package["NewExe/setup.exe"] = setup_program + b"the package's setup.exe\r\n"
        install["setup.exe"] = setup_program + b"the installed setup.exe\r\n"
    content = {
        "": None,
        "/a.txt": rng.randbytes(100),
        "/Readme.txt": rng.randbytes(2000),
        "/Maps": None,
        "/Maps/m1.map": rng.randbytes(70000),
        "/Maps/Deep": None,
        "/Maps/Deep/d.txt": rng.randbytes(10),
        "/Maps/Deep/Deeper": None,
        "/Maps/Deep/Deeper/e.bin": rng.randbytes(3000),
        "/Sound": None,
        "/Sound/s1.wav": rng.randbytes(9000),
        "/Empty": None,
    }
    for rel, data in content.items():
        package[CONTENT + rel] = data
    return package, install


def write_tree(root, tree):
    for rel, data in sorted(tree.items()):
        path = os.path.join(root, *rel.split("/"))
        if data is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if rel.endswith(READ_ONLY):
            os.chmod(path, 0o444)


def copy_machine(source, destination, linked):
    """A fresh copy of a machine's root; the files under `linked` (the package, which the run
    only reads) as hard links."""
    for folder, _, files in os.walk(source):
        rel = os.path.relpath(folder, source)
        target = os.path.normpath(os.path.join(destination, rel))
        os.makedirs(target, exist_ok=True)
        link = rel == linked or rel.startswith(linked + "/")
        for name in files:
            if link:
                os.link(os.path.join(folder, name), os.path.join(target, name))
            else:
                shutil.copy2(os.path.join(folder, name), os.path.join(target, name))


def read_fault_points(program):
    """The calls that write data, as the emulation's lister of its fault points marks them."""
    listed = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    rows = [line.split("\t") for line in listed.splitlines()]
    if not rows:
        raise SystemExit("%s lists no fault points" % program)
    return {row[0] for row in rows if len(row) > 2 and row[2] == "writes data"}


def read_trace(path):
    """[(number, call, subject, rest)] of a trace; rest is the fault or the kill, or ""."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = b2s(f.read()).split("\n")[:-1]
    calls = []
    for line in lines:
        fields = line.split("\t")
        calls.append((int(fields[0]), fields[1], unescape(fields[2]), "\t".join(fields[3:])))
    return calls


def is_temporary(name):
    return name.startswith("~~") or name.startswith("!!")


def subtree(tree, top):
    return {rel: data for rel, data in tree.items() if rel == top or rel.startswith(top + "/")}


class State(types.SimpleNamespace):
    """What a machine holds after a run: InstallDir's tree, the rest of drive C that is
    compared, the registry's keys (or why they do not read), the program starts and the
    boxes."""


class Expectations:
    """The update's trees, and the differences of a machine from the reference's end."""

    def __init__(self, launchers, setup_program=None):
        self.launchers = launchers
        self.package, self.install = build_trees(launchers, setup_program)

    def complete_install(self):
        """InstallDir as a complete run leaves it."""
        tree = dict(self.install)
        tree["OldExe"] = None
        for name in self.launchers:
            tree[name] = self.package["NewExe/" + name]
            tree["OldExe/" + name] = self.install[name]
        tree["uninstall.in"] = self.package["uninstall.inf"]
        tree.update(subtree(self.package, CONTENT))
        return tree

    def describe(self, data):
        """What a file's bytes are: a folder, absent, or bytes known from the set-up."""
        if data is None:
            return "a folder"
        if data == "absent":
            return "absent"
        for label, tree in (("the installed ", self.install), ("the package's ", self.package)):
            for rel, known in sorted(tree.items()):
                if known == data:
                    return "%s%s (%d bytes)" % (label, rel.replace("/", "\\"), len(data))
        return "%d other bytes" % len(data)

    def tree_differences(self, where, expected, actual, expected_as="after the reference run"):
        problems = []
        for rel in sorted(set(expected) | set(actual)):
            want, got = expected.get(rel, "absent"), actual.get(rel, "absent")
            if want != got:
                problems.append("%s%s is %s, %s %s" % (where, rel.replace("/", "\\"),
                                                      self.describe(got), expected_as,
                                                      self.describe(want)))
        return problems

    @staticmethod
    def registry_differences(expected, actual):
        problems = []
        for path in sorted(set(expected) | set(actual)):
            if path not in actual:
                problems.append("the registry lacks the key %s" % path)
            elif path not in expected:
                problems.append("the registry has the key %s, which the reference has not" % path)
            else:
                problems += ["registry, %s:%s" % (path, line)
                             for line in compare_values(expected[path], actual[path])]
        return problems

    def end_differences(self, state, reference, starts):
        """The differences between the end of a run and the reference's end."""
        temporaries = sorted(rel for rel in state.install
                             if any(is_temporary(name) for name in rel.split("/")))
        problems = []
        if temporaries:
            problems.append("temporaries left in InstallDir: %s" % ", ".join(temporaries))
        problems += self.tree_differences("InstallDir\\", reference.install, state.install)
        problems += self.tree_differences("C:\\", reference.rest, state.rest)
        if state.torn:
            problems.append(state.torn)
        else:
            problems += self.registry_differences(reference.registry, state.registry)
        if state.starts != starts:
            problems.append("program starts %s, expected %s" % (state.starts, starts))
        if state.boxes:
            problems.append("boxes: %s" % [escape_log(str(box)) for box in state.boxes])
        return problems


# ---- native: a kill at every call ----

class NativeBench(Expectations):
    def __init__(self, args, scratch):
        super().__init__(read_launcher_files(args.launcher_files))
        self.updater = os.path.abspath(args.updater)
        self.scratch = scratch
        self.writes_data = read_fault_points(args.fault_points)
        # The machine before the run, copied for every run.
        machine = NativeMachine(self.updater, scratch)
        machine.reset(types.SimpleNamespace(name="before"))
        self.before_root = machine.root
        install_dir = machine.windows_dir + "\\" + PRODUCT_KEY + "\\"
        machine.write_registry(REGISTRY)
        write_tree(machine.host_path(PACKAGE_DIR), self.package)
        write_tree(machine.host_path(install_dir), self.install)
        machine.put_updater(os.path.join(machine.host_path(PACKAGE_DIR), "setup.exe"))
        drive = os.path.join(self.before_root, "drive_c")
        self.package_rel = os.path.relpath(machine.host_path(PACKAGE_DIR), self.before_root)
        self.install_rel = os.path.relpath(machine.host_path(install_dir), drive)
        self.package_in_drive = os.path.relpath(machine.host_path(PACKAGE_DIR), drive)
        self.before = self.state(self.before_root)
        self.count = 0

    def fresh(self):
        self.count += 1
        root = os.path.join(self.scratch, "run%05d" % self.count)
        copy_machine(self.before_root, root, self.package_rel)
        return root

    def run(self, root, kill=None, trace=None):
        """The updater's exit code (negative: the signal that ended it)."""
        env = dict(os.environ, WIN32EMU_ROOT=root)
        for name in ("WIN32EMU_KILL", "WIN32EMU_TRACE", "WIN32EMU_FAULT"):
            env.pop(name, None)
        if kill:
            env["WIN32EMU_KILL"] = kill
        if trace:
            env["WIN32EMU_TRACE"] = trace
        program = os.path.join(root, self.package_rel, "setup.exe")
        try:
            return subprocess.run([program], env=env, cwd=root, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=RUN_TIMEOUT).returncode
        except subprocess.TimeoutExpired:
            return "hang"

    def state(self, root):
        install, rest = {}, {}
        prefix = self.install_rel + "/"
        for rel, data in read_tree(os.path.join(root, "drive_c")).items():
            if rel.startswith(prefix):
                install[rel[len(prefix):]] = data
            elif rel != self.install_rel and rel != COMMAND_LIST:
                rest[rel] = data
        with open(os.path.join(root, "system.reg"), "rb") as f:
            text = b2s(f.read())
        try:
            registry, torn = parse_reg(text), None
        except Exception as error:  # any error of the reader: the file is torn
            registry, torn = None, "system.reg does not read (%d bytes): %s" % (len(text), error)
        return State(install=install, rest=rest, registry=registry, torn=torn,
                     starts=self.log_lines(root, "exec.log"),
                     boxes=self.log_lines(root, "messages.log"))

    @staticmethod
    def log_lines(root, name):
        path = os.path.join(root, name)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return b2s(f.read()).split("\n")[:-1]

    def reference(self):
        """The traced complete run: its calls, its end, and the number of its start."""
        root = self.fresh()
        trace = root + ".trace"
        code = self.run(root, trace=trace)
        calls = read_trace(trace)
        os.remove(trace)
        state = self.state(root)
        problems = []
        if code != 0:
            problems.append("exit code %s" % code)
        if state.boxes:
            problems.append("boxes: %s" % state.boxes)
        if len(state.starts) != 1:
            problems.append("program starts: %s" % state.starts)
        problems += self.tree_differences("InstallDir\\", self.complete_install(), state.install,
                                          "expected")
        starts_at = [number for number, call, _, _ in calls if call == "CreateProcessA"]
        if len(starts_at) != 1:
            problems.append("CreateProcessA traced %d times" % len(starts_at))
        if problems:
            raise SystemExit("FAIL the reference run is not a complete run:\n     " +
                             "\n     ".join(problems))
        remove_tree(root)
        return calls, state, starts_at[0]

    def after_kill(self, state, after):
        """What a kill left that it must not, against the machine before and the reference
        after; and notes of the straight copies it cut."""
        problems, notes = [], []
        install = state.install
        for name in self.launchers:
            old, new = self.install[name], self.package["NewExe/" + name]
            if install.get(name) not in (old, new):
                problems.append("launcher %s is %s" % (name, self.describe(install.get(name))))
            if install.get(name) != old and install.get("OldExe/" + name) != old:
                problems.append("launcher %s: its installed bytes are neither in place nor whole"
                                " in OldExe" % name)
        if CONTENT in install:
            problems += ["the content folder has its name and is not whole: " + line for line in
                         self.tree_differences("InstallDir\\", subtree(after.install, CONTENT),
                                               subtree(install, CONTENT))]
        for rel, data in sorted(install.items()):
            if rel.split("/")[0] == STAGING or is_temporary(os.path.basename(rel)):
                continue
            if data in (self.install.get(rel, "absent"), after.install.get(rel, "absent")):
                continue
            saved = rel[len("OldExe/"):]
            if rel.startswith("OldExe/") and install.get(saved) == self.install.get(saved):
                notes.append("OldExe\\<launcher> partial")
                continue
            if rel == "uninstall.in":
                notes.append("uninstall.in partial")
                continue
            problems.append("InstallDir\\%s is %s: neither as before nor as after a complete run"
                            % (rel.replace("/", "\\"), self.describe(data)))
        for rel in sorted(set(self.install) - set(install)):
            if rel in after.install:
                problems.append("InstallDir\\%s was there before and is lost" % rel)
        problems += self.registry_between(state, after)
        if state.boxes:
            problems.append("boxes: %s" % state.boxes)
        package = subtree(state.rest, self.package_in_drive)
        if package != subtree(self.before.rest, self.package_in_drive):
            problems.append("the package changed")
        return problems, notes

    def registry_between(self, state, after):
        """Every key and value as before or as after the reference run."""
        if state.torn:
            return [state.torn]
        problems = []
        was_keys, will_keys = self.before.registry, after.registry
        for path in sorted(set(was_keys) | set(will_keys) | set(state.registry)):
            values = state.registry.get(path)
            if values is None:
                if path in was_keys:
                    problems.append("system.reg lost the key %s" % path)
                continue
            if path not in was_keys and path not in will_keys:
                problems.append("system.reg: unexpected key %s" % path)
            for lower in sorted(set(values) | set(was_keys.get(path, {}))):
                got = values.get(lower)
                was = was_keys.get(path, {}).get(lower)
                will = will_keys.get(path, {}).get(lower)
                if not any(got == want or (got and want and got[1:] == want[1:])
                           for want in (was, will)):
                    problems.append("system.reg, %s: value %r is %s, before %s, after %s" % (
                        path, (got or was or will)[0], describe_value(got), describe_value(was),
                        describe_value(will)))
        return problems

    def killed_at(self, kill, calls, reference, start_call, noted):
        """The problems of one kill and the run after it."""
        number = int(kill.split(":")[0])
        _, call, subject, _ = calls[number - 1]
        root = self.fresh()
        trace = root + ".trace"
        problems = []
        code = self.run(root, kill=kill, trace=trace)
        traced = read_trace(trace)
        os.remove(trace)
        halfway = kill.endswith(":half") and call in self.writes_data
        killed = (number, call, subject, "killed halfway" if halfway else "killed")
        if code != -signal.SIGKILL:
            problems.append("the run was not killed: exit code %s" % code)
        if not traced or traced[-1] != killed:
            problems.append("the trace ends with %r, not with the kill at the reference's call"
                            " %r" % (traced[-1] if traced else None, killed))
        more, notes = self.after_kill(self.state(root), reference)
        problems += ["after the kill: " + line for line in more]
        for note in set(notes):
            noted.setdefault(note, []).append(kill)
        code = self.run(root)
        if code != 0:
            problems.append("the run after the kill ended with exit code %s" % code)
        starts = reference.starts * (2 if number > start_call else 1)
        problems += ["after the next run: " + line
                     for line in self.end_differences(self.state(root), reference, starts)]
        return problems, root

    def twice(self, reference):
        """A complete run, then another."""
        root = self.fresh()
        codes = [self.run(root), self.run(root)]
        problems = [] if codes == [0, 0] else ["exit codes %s" % codes]
        problems += self.end_differences(self.state(root), reference, reference.starts * 2)
        remove_tree(root)
        return problems


def run_native(args, scratch, began):
    bench = NativeBench(args, scratch)
    calls, reference, start_call = bench.reference()
    kills = []
    for number, call, _, _ in calls:
        kills.append(str(number))
        if call in bench.writes_data:
            kills.append("%d:half" % number)
    if args.only:
        kills = [kill for kill in kills if kill in args.only]
    print("reference run: %d calls, the product's setup started at call %d; %d kills, %d of "
          "them halfway through a call that writes data" % (
              len(calls), start_call, len(kills), sum(k.endswith(":half") for k in kills)))
    failed = []
    noted = {}
    for kill in kills:
        problems, root = bench.killed_at(kill, calls, reference, start_call, noted)
        if problems:
            failed.append(kill)
            _, call, subject, _ = calls[int(kill.split(":")[0]) - 1]
            print("FAIL killed at %s (%s %s):" % (kill, call, subject))
            for line in problems[:20]:
                print("     " + line)
            if len(problems) > 20:
                print("     ... and %d more" % (len(problems) - 20))
            if args.keep and len(failed) == 1:
                kept = tempfile.mkdtemp(prefix="kill-kept.")
                shutil.copytree(root, os.path.join(kept, "machine"), symlinks=True)
                print("     machine kept in %s" % kept)
        remove_tree(root)
    twice = bench.twice(reference)
    if twice:
        print("FAIL a complete run, then another:")
        for line in twice:
            print("     " + line)
    else:
        print("ok   a complete run, then another: nothing changed but a second start")
    for note, where in sorted(noted.items()):
        print("note %s after %d kills, copied again by the next run: %s" % (
            note, len(where), " ".join(where)))
    print("%d of %d kills, each followed by a run to the end, ended otherwise than the "
          "reference run, in %.0f s" % (len(failed), len(kills), time.monotonic() - began))
    return 1 if failed or twice else 0


# ---- Wine: kills at seeded moments ----

class WineBench(Expectations):
    def __init__(self, args, scratch):
        self.machine = WineMachine(os.path.abspath(args.updater), args.recorder, scratch)
        self.record = "setup.exe" + STARTED_SUFFIX
        launchers = read_launcher_files(args.launcher_files, self.machine.program,
                                        self.machine.env)
        super().__init__(launchers, self.machine.recorder)
        self.install_dir = self.machine.windows_dir + "\\" + PRODUCT_KEY + "\\"
        self.install_host = self.machine.host_path(self.install_dir)
        self.package_host = self.machine.host_path(PACKAGE_DIR)
        self.rounds = 0

    def set_up(self):
        self.rounds += 1
        self.machine.reset(types.SimpleNamespace(name="round%03d" % self.rounds,
                                                 product_key=PRODUCT_KEY,
                                                 package_dir=PACKAGE_DIR))
        self.machine.write_registry(REGISTRY)
        write_tree(self.package_host, self.package)
        write_tree(self.install_host, self.install)
        self.machine.put_updater(os.path.join(self.package_host, "setup.exe"))

    def start(self):
        return subprocess.Popen(self.machine.program.command(PACKAGE_DIR + "setup.exe"),
                                env=self.machine.env, cwd=self.machine.scratch,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def run_to_end(self, starts_before):
        """A run to the end: its exit code and the state it leaves. Where Wine could not start
        the run, or the product's setup program it starts, the run is started again: a run
        after a complete one changes nothing but starts that program."""
        code, boxes = wine_program.started_again(lambda: self.machine.run_updater(PACKAGE_DIR))
        self.machine.wait_for_starts(self.install_host, starts_before + 1)
        return code, self.state(boxes)

    def state(self, boxes):
        registry = {}
        for key in (PRODUCT_KEY, OTHER_KEY):
            values = self.machine.read_key(key)
            if values is not None:
                registry[("HKEY_LOCAL_MACHINE\\Software\\" + key).lower()] = values
        package = {"Pkg/" + rel: data for rel, data in read_tree(self.package_host).items()}
        return State(install=read_tree(self.install_host, skip=(self.record,)), rest=package,
                     registry=registry, torn=None,
                     starts=self.machine.starts(self.install_host), boxes=boxes)

    def stage(self):
        """How far a killed run got, from what it left in InstallDir."""
        install = read_tree(self.install_host, skip=(self.record,))
        if self.machine.starts(self.install_host):
            return "the product's setup started"
        if CONTENT in install:
            return "the content folder in place"
        if STAGING in install:
            return "the content being staged"
        replaced = [name for name in self.launchers
                    if install.get(name) == self.package["NewExe/" + name]]
        if replaced:
            return "%d of %d launcher files replaced" % (len(replaced), len(self.launchers))
        return "OldExe made" if "OldExe" in install else "nothing changed"

    def kill_all(self):
        """Ends every process of the prefix at once, then starts its server again, and the
        prefix's own programs with a first program, so that the next run starts as fast as
        the timed ones."""
        env = self.machine.env
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        self.machine.wine(["C:\\probe\\probe.exe", "--where"])

    def timed_run(self):
        """The seconds of a complete run as the killed ones are started, without the trace of
        the boxes."""
        self.set_up()
        started = time.monotonic()
        self.start().wait(timeout=120)
        duration = time.monotonic() - started
        self.machine.wait_for_starts(self.install_host, 1)
        return duration


def run_wine(args, scratch, began):
    if shutil.which("wine") is None and wine64_loader() is None:
        print("skipped: Wine is not installed", flush=True)
        return SKIP
    bench = WineBench(args, scratch)
    try:
        bench.set_up()
        code, reference = bench.run_to_end(0)
        problems = [] if code == 0 else ["exit code %s" % code]
        problems += bench.tree_differences("InstallDir\\", bench.complete_install(),
                                           reference.install, "expected")
        if reference.boxes or len(reference.starts) != 1:
            problems.append("boxes %s, starts %s" % (reference.boxes, reference.starts))
        if problems:
            print("FAIL the reference run is not a complete run:")
            for line in problems:
                print("     " + line)
            return 1
        # The machine's load changes the time of a run: the median of three.
        durations = sorted(bench.timed_run() for _ in range(3))
        duration = durations[1]
        print("complete run: %.3f s (median of %s)" % (
            duration, ", ".join("%.3f" % d for d in durations)))

        rng = random.Random(args.seed)
        moments = sorted(rng.uniform(0.0, 1.0) for _ in range(args.kills))
        failed = 0
        for fraction in moments:
            bench.set_up()
            process = bench.start()
            time.sleep(fraction * duration)
            bench.kill_all()
            try:
                process.wait(timeout=60)  # its exit code does not tell a kill under Wine
            except subprocess.TimeoutExpired:
                # One that had not reached the server yet goes on with the server started
                # again, and may wait there (seen once in many rounds): it is ended the same
                # way, a moment later, and the run after it must still complete.
                bench.kill_all()
                process.kill()
                process.wait(timeout=60)
            reached = bench.stage()
            killed_starts = len(bench.machine.starts(bench.install_host))
            final, state = bench.run_to_end(killed_starts)
            problems = [] if final == 0 else ["the run after the kill ended with %s" % final]
            if killed_starts > 1:
                problems.append("the killed run started the product's setup %d times"
                                % killed_starts)
            starts = reference.starts * (killed_starts + 1)
            problems += bench.end_differences(state, reference, starts)
            what = "killed after %.3f s (%.0f%% of the reference run; %s)" % (
                fraction * duration, fraction * 100, reached)
            if problems:
                failed += 1
                print("FAIL %s:" % what)
                for line in problems[:20]:
                    print("     " + line)
            else:
                print("ok   %s, then run to the end, %d start%s" % (
                    what, len(starts), "" if len(starts) == 1 else "s"))
        print("%d of %d kills, each followed by a run to the end, ended otherwise than the "
              "reference run, in %.0f s (seed %d)" % (failed, len(moments),
                                                     time.monotonic() - began, args.seed))
        return 1 if failed else 0
    finally:
        bench.machine.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--updater", required=True, help="the built setup.exe")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files)")
    parser.add_argument("--fault-points",
                        help="natively, the emulation's lister of its fault points "
                        "(win32emu_fault_points)")
    parser.add_argument("--only", nargs="*", help="natively, only these kills, as n or n:half")
    parser.add_argument("--keep", action="store_true",
                        help="natively, keep the first failed machine")
    parser.add_argument("--wine", action="store_true", help="the Windows build under Wine")
    parser.add_argument("--recorder", help="the acceptance recorder (with --wine)")
    parser.add_argument("--kills", type=int, default=6, help="under Wine, the killed runs")
    parser.add_argument("--seed", type=int, default=20241209, help="under Wine, the moments' seed")
    args = parser.parse_args()
    if args.wine and not args.recorder:
        parser.error("--wine needs --recorder")
    if not args.wine and not args.fault_points:
        parser.error("natively the suite needs --fault-points")
    began = time.monotonic()
    # Natively the emulated registry flushes system.reg at every write: on a memory file
    # system the many runs do not wait for the disk.
    memory = "/dev/shm"
    scratch = tempfile.mkdtemp(prefix="killed-at-every-call.", dir=memory if not args.wine and
                               os.access(memory, os.W_OK) else None)
    try:
        return (run_wine if args.wine else run_native)(args, scratch, began)
    finally:
        remove_tree(scratch)


if __name__ == "__main__":
    sys.exit(main())
