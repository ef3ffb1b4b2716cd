#!/usr/bin/env python3
"""Complete runs of the native updater killed with SIGKILL at random moments.

Each run starts on a fresh emulated machine on which a complete update is due: the launcher
files are replaced from NewExe\\ (an OldExe\\ of an older generation is there already), a
content tree with files of a few MiB is copied, every registry value of the run is written,
and uninstall.in is replaced. A reference run, not killed, gives the run's duration and the
state after it. Then each run is killed after a seeded random delay (some at once, some near
the end, the rest spread over the duration), and what it left behind is checked:

- each launcher file installed before is still in InstallDir with its old bytes, or saved
  whole in OldExe\\;
- every file in InstallDir holds its bytes from before or those of its package counterpart
  (no truncated or partial file); a file that was there before is still there, unless it is a
  launcher file saved in OldExe\\; nothing else appears but the copies' temporary files;
- system.reg parses completely and holds every key and value it held before; only the values
  the run writes by design may differ, and each of those holds the whole value from before or
  from after the run;
- the package is left as it was.

The machine set-up and the registry parser are the suites' shared ones (tests/support/py).
"""

import argparse
import collections
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from case_error import CaseError
from launcher_files import read_launcher_files
from log_text import b2s
from native_machine import NativeMachine
from registry_text import REG_DWORD, REG_SZ, describe_value, parse_reg
from trees import KEEP, copy_case_tree, remove_tree

PRODUCT_KEY = "BraskQuestsInstallerPallum"
KEY_PATH = ("HKEY_LOCAL_MACHINE\\Software\\" + PRODUCT_KEY).lower()
PACKAGE_DIR = "C:\\Pkg\\"
INSTALL_DIR = "C:\\WINDOWS\\" + PRODUCT_KEY + "\\"
CONTENT = "Quests2024"
# The values a complete run writes, as the acceptance suite's parser gives them.
WRITTEN = {
    "oldinstver": ("OldInstVer", REG_SZ, b"1.3\0"),
    "version": ("Version", REG_SZ, b"1.3.1\0"),
    "makedeupdate": ("MakeDeUpdate", REG_DWORD, b"\0\0\0\0"),
    "todo": ("ToDo", REG_SZ, CONTENT.encode() + b"\0"),
    "todelpath": ("ToDelPath", REG_SZ, PACKAGE_DIR.encode() + b"\0"),
}
# Values the run may overwrite by design; any other value must stay as it was.
OVERWRITTEN = {"productversion"} | set(WRITTEN)
COPY_TEMPORARY = re.compile(r"^\.~copy-\d+-\d+$")
MiB = 1 << 20


class Stand:
    """The name a run's machines get from the acceptance suite's NativeMachine."""

    def __init__(self, name):
        self.name = name


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def build_trees(rng, launchers):
    """The package and InstallDir before the run: {relative path: bytes}."""
    def blob(size):
        return rng.randbytes(size)

    package = {
        "options.inf": b"Brask Quests\r\n%s\r\n" % PRODUCT_KEY.encode() + b"x\r\n" * 12,
        "set.inf": b"%s\r\nunused\r\n1.00\r\nPallum 2.2\r\n[end]\r\n" % CONTENT.encode(),
        "uninstall.inf": b"[uninstall]\r\n" + blob(4096),
    }
    for name in launchers:
        package["NewExe/" + name] = blob(2 * MiB if name == "setup.exe" else 3000)
    content = {
        "a.txt": blob(100),
        "Readme.txt": blob(2000),
        "music.ogg": blob(3 * MiB),
        "Maps/m1.map": blob(5000),
        "Maps/big.pak": blob(4 * MiB),
        "Maps/Deep/d.txt": blob(10),
        "Video/intro.bik": blob(6 * MiB),
        "Empty/.keep": b"",
    }
    for number in range(12):
        content["Sound/s%02d.wav" % number] = blob(rng.randrange(1, 60000))
    for rel, data in content.items():
        package[CONTENT + "/" + rel] = data

    install = {name: blob(3 * MiB // 2 if name == "setup.exe" else 2500) for name in launchers}
    install["Saves/slot1.sav"] = blob(7000)
    install["uninstall.in"] = b"[uninstall]\r\nold\r\n"
    install["OldExe/fon.bmp"] = blob(1200)  # an older generation's saved files
    install["OldExe/options.inf"] = blob(300)
    install["OldExe/readme.old"] = blob(50)
    return package, install


def registry_text(rng):
    lines = ["REGEDIT4", "",
             "[HKEY_LOCAL_MACHINE\\Software\\%s]" % PRODUCT_KEY,
             '"ProductName"="Brask Quests Installer: Pallum"',
             '"InstallDir"="C:\\\\WINDOWS\\\\%s\\\\"' % PRODUCT_KEY,
             '"ProductVersion"="Pallum 2.2"',
             '"Version"="1.3"',
             '"OldInstVer"="1.2"',
             '"ToDo"="Quests2019"',
             '"ToDelPath"="C:\\\\Old Pkg\\\\"',
             '"Players"=dword:00000004',
             '"Blob"=hex:' + ",".join("%02x" % b for b in rng.randbytes(300)),
             ""]
    # Other products' keys, so that a write of the file takes a while and a torn one shows.
    for key in range(60):
        lines.append("[HKEY_LOCAL_MACHINE\\Software\\Filler\\Product%03d]" % key)
        for value in range(25):
            lines.append('"Value%02d"="%s"' % (value, rng.randbytes(24).hex()))
        lines.append('"Count"=dword:%08x' % rng.randrange(1 << 32))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def write_tree(root, tree):
    for rel, data in tree.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.basename(rel) == KEEP:
            continue
        with open(path, "wb") as f:
            f.write(data)


def link_tree(source, destination):
    """The package's files as hard links: the run only reads them."""
    for folder, _, files in os.walk(source):
        target = os.path.join(destination, os.path.relpath(folder, source))
        os.makedirs(target, exist_ok=True)
        for name in files:
            try:
                os.link(os.path.join(folder, name), os.path.join(target, name))
            except OSError:
                shutil.copy2(os.path.join(folder, name), os.path.join(target, name))


def tree_digests(root):
    """{relative path: digest, or None for a folder} of everything under root."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root)
        for name in dirs:
            tree[os.path.normpath(os.path.join(rel_folder, name))] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                tree[os.path.normpath(os.path.join(rel_folder, name))] = digest(f.read())
    return tree


class Scenario:
    def __init__(self, updater, scratch, seed, launchers):
        rng = random.Random(seed)
        self.updater = updater
        self.scratch = scratch
        self.launchers = launchers
        package, install = build_trees(rng, launchers)
        self.registry = registry_text(rng)
        self.before_keys = parse_reg(self.registry)
        self.package_template = os.path.join(scratch, "package")
        self.install_template = os.path.join(scratch, "install")
        write_tree(self.package_template, package)
        write_tree(self.install_template, install)
        shutil.copy(updater, os.path.join(self.package_template, "setup.exe"))
        self.package_digests = tree_digests(self.package_template)

        # What each file in InstallDir may hold: its bytes from before, or its counterpart's.
        self.before = {rel: digest(data) for rel, data in install.items()}
        self.allowed = collections.defaultdict(set)
        for rel, value in self.before.items():
            self.allowed[rel].add(value)
        for name in launchers:
            self.allowed[name].add(digest(package["NewExe/" + name]))
            self.allowed["OldExe/" + name].add(self.before[name])
        for rel, data in package.items():
            if rel.startswith(CONTENT + "/") and os.path.basename(rel) != KEEP:
                self.allowed[rel].add(digest(data))
        self.allowed["uninstall.in"].add(digest(package["uninstall.inf"]))
        self.folders = {"Saves", "OldExe", CONTENT} | {
            os.path.dirname(rel) for rel in package if rel.startswith(CONTENT + "/")}
        self.folders.discard("")
        self.after_install = dict(self.before)
        for name in launchers:
            self.after_install[name] = digest(package["NewExe/" + name])
            self.after_install["OldExe/" + name] = self.before[name]
        for rel, data in package.items():
            if rel.startswith(CONTENT + "/") and os.path.basename(rel) != KEEP:
                self.after_install[rel] = digest(data)
        self.after_install["uninstall.in"] = digest(package["uninstall.inf"])
        self.machines = NativeMachine(updater, scratch)
        self.count = 0

    def fresh_machine(self):
        self.count += 1
        machine = self.machines
        machine.reset(Stand("run%04d" % self.count))
        machine.write_registry(self.registry)
        copy_case_tree(self.install_template, machine.host_path(INSTALL_DIR), None)
        link_tree(self.package_template, machine.host_path(PACKAGE_DIR))
        return machine

    def start(self, machine):
        env = dict(os.environ, WIN32EMU_ROOT=machine.root)
        program = os.path.join(machine.host_path(PACKAGE_DIR), "setup.exe")
        return subprocess.Popen([program], env=env, cwd=machine.root, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # ---- the checks ----

    def check(self, machine):
        """(problems, notes, stage) for the machine as a run left it."""
        problems, notes = [], []
        install_host = machine.host_path(INSTALL_DIR)
        actual = tree_digests(install_host)
        for rel, value in sorted(actual.items()):
            name = os.path.basename(rel)
            if COPY_TEMPORARY.match(name):
                notes.append("copy temporary %s" % rel)
                if value is None:
                    problems.append("%s: a copy's temporary name is a folder" % rel)
                continue
            if value is None:
                if rel not in self.folders:
                    problems.append("unexpected folder %s" % rel)
                continue
            if rel not in self.allowed:
                problems.append("unexpected file %s" % rel)
            elif value not in self.allowed[rel]:
                problems.append("%s holds neither its old bytes nor its package counterpart's"
                                " (truncated or partial: %d bytes)"
                                % (rel, os.path.getsize(os.path.join(install_host, rel))))
        for rel in sorted(self.before):
            if rel in actual:
                continue
            if rel in self.launchers and actual.get("OldExe/" + rel) == self.before[rel]:
                continue  # deleted after it was saved whole
            problems.append("%s was there before and is lost%s" % (
                rel, " (not saved in OldExe)" if rel in self.launchers else ""))
        for name in self.launchers:
            if actual.get(name) != self.before[name] and (
                    actual.get("OldExe/" + name) != self.before[name]):
                problems.append("launcher %s: the installed bytes are neither in place nor"
                                " saved whole in OldExe" % name)

        keys, reg_problems = self.check_registry(machine)
        problems.extend(reg_problems)
        if os.path.exists(os.path.join(machine.root, "system.reg.new")):
            notes.append("registry temporary system.reg.new")

        stage = self.stage(actual, keys, machine)
        return problems, notes, stage

    def check_registry(self, machine):
        problems = []
        path = os.path.join(machine.root, "system.reg")
        try:
            with open(path, "rb") as f:
                text = b2s(f.read())
        except OSError as error:
            return None, ["system.reg cannot be read: %s" % error]
        try:
            keys = parse_reg(text)
        except (CaseError, ValueError, IndexError) as error:
            return None, ["system.reg is torn (%d bytes): %s" % (len(text), error)]
        for key_path, values in self.before_keys.items():
            got_values = keys.get(key_path)
            if got_values is None:
                problems.append("system.reg lost the key %s" % key_path)
                continue
            for lower, entry in values.items():
                got = got_values.get(lower)
                product_value = key_path == KEY_PATH and lower in OVERWRITTEN
                allowed = [entry] + ([WRITTEN[lower]] if product_value and lower in WRITTEN
                                     else [])
                if got is None or all(got[1:] != want[1:] for want in allowed):
                    problems.append("system.reg, %s: value %r is %s, was %s" % (
                        key_path, entry[0], describe_value(got),
                        describe_value(entry)))
            for lower, got in got_values.items():
                if lower in values:
                    continue
                if key_path == KEY_PATH and lower in WRITTEN and got[1:] == WRITTEN[lower][1:]:
                    continue
                problems.append("system.reg, %s: unexpected value %r = %s" % (
                    key_path, got[0], describe_value(got)))
        for key_path in sorted(set(keys) - set(self.before_keys)):
            # The registry editor's export form names every parent key on a line of its own.
            if keys[key_path] or not any(k.startswith(key_path + "\\") for k in self.before_keys):
                problems.append("system.reg: unexpected key %s" % key_path)
        return keys, problems

    def stage(self, actual, keys, machine):
        """How far the run got, from what it left behind."""
        product = (keys or {}).get(KEY_PATH, {})

        def written(lower):
            got = product.get(lower)
            return got is not None and got[1:] == WRITTEN[lower][1:]

        exec_log = os.path.join(machine.root, "exec.log")
        if os.path.exists(exec_log) and os.path.getsize(exec_log) > 0:
            return "7 program started"
        if actual.get("uninstall.in") == self.after_install["uninstall.in"]:
            return "6 uninstall.in replaced"
        if written("todo"):
            return "5 copy recorded"
        if CONTENT in actual:
            return "4 content copying"
        if written("version"):
            return "3 launchers done"
        launcher_paths = self.launchers + ["OldExe/" + n for n in self.launchers]
        if any(actual.get(p) != self.before.get(p) for p in launcher_paths) or any(
                COPY_TEMPORARY.match(os.path.basename(p)) for p in actual):
            return "2 launchers replacing"
        if written("oldinstver"):
            return "1 installer checked"
        return "0 nothing changed"


def reference_runs(scenario, count=3):
    """Complete runs, not killed: their durations, and a check of the state they leave."""
    durations = []
    for _ in range(count):
        machine = scenario.fresh_machine()
        started = time.monotonic()
        process = scenario.start(machine)
        code = process.wait(timeout=60)
        durations.append(time.monotonic() - started)
        problems, notes, stage = scenario.check(machine)
        actual = {rel: value for rel, value in tree_digests(machine.host_path(INSTALL_DIR)).items()
                  if value is not None}
        if code != 0:
            problems.append("the reference run ended with exit code %d" % code)
        if actual != scenario.after_install:
            differing = set(actual.items()) ^ set(scenario.after_install.items())
            problems.append("the reference run left InstallDir otherwise than a complete run:"
                            " %s" % sorted({rel for rel, _ in differing}))
        keys, _ = scenario.check_registry(machine)
        product = (keys or {}).get(KEY_PATH, {})
        for lower, want in WRITTEN.items():
            if product.get(lower, (None,))[1:] != want[1:]:
                problems.append("the reference run left %s = %s" % (
                    want[0], describe_value(product.get(lower))))
        if stage != "7 program started":
            problems.append("the reference run got to %r only" % stage)
        if notes:
            problems.append("the reference run left temporaries: %s" % notes)
        if problems:
            return durations, problems
    return durations, []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--updater", required=True, help="the native build's setup.exe")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files)")
    parser.add_argument("--runs", type=int, default=200, help="killed runs (default 200)")
    parser.add_argument("--seed", type=int, default=20241208, help="seed of the delays")
    parser.add_argument("--budget", type=float, default=100.0,
                        help="seconds after which no further run starts (default 100)")
    parser.add_argument("--keep", action="store_true", help="keep the first failed machine")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    scratch = tempfile.mkdtemp(prefix="crash.")
    failures = []
    began = time.monotonic()
    try:
        scenario = Scenario(os.path.abspath(args.updater), scratch, args.seed,
                            read_launcher_files(args.launcher_files))
        durations, problems = reference_runs(scenario)
        if problems:
            print("FAIL the run that is to be killed does not complete as it should:")
            for line in problems:
                print("     " + line)
            return 1
        duration = sorted(durations)[len(durations) // 2]
        print("complete run: %.1f ms (median of %d; %s)" % (
            duration * 1000, len(durations), ", ".join("%.1f" % (d * 1000) for d in durations)))

        # Kill moments as fractions of a complete run: one tenth at once, one tenth near the
        # end, the rest anywhere in the run. The machine's load changes while the test runs,
        # so a complete run is timed again every 20 runs, and the fractions apply to the
        # median of the last five timings.
        plan = []
        for number in range(args.runs):
            if number % 10 == 0:
                plan.append(0.0)
            elif number % 10 == 5:
                plan.append(rng.uniform(0.85, 1.0))
            else:
                plan.append(rng.uniform(0.0, 1.0))
        rng.shuffle(plan)

        spread = collections.Counter()
        outcomes = collections.Counter()
        leftovers = collections.Counter()
        ended_before_kill = 0
        done = 0
        for number, fraction in enumerate(plan, 1):
            if time.monotonic() - began > args.budget:
                print("time budget of %.0f s used up after %d runs" % (args.budget, done))
                break
            if number % 20 == 0:
                more, problems = reference_runs(scenario, 1)
                if problems:
                    failures.append("reference")
                    print("FAIL a complete run between the killed ones:")
                    for line in problems:
                        print("     " + line)
                durations.extend(more)
                duration = sorted(durations[-5:])[len(durations[-5:]) // 2]
            delay = fraction * duration
            machine = scenario.fresh_machine()
            process = scenario.start(machine)
            if delay > 0:
                time.sleep(delay)
            process.send_signal(signal.SIGKILL)
            code = process.wait(timeout=60)
            done += 1
            if code != -signal.SIGKILL:
                ended_before_kill += 1
            spread[min(int(fraction * 10), 9)] += 1
            problems, notes, stage = scenario.check(machine)
            outcomes[stage] += 1
            for kind in {" ".join(note.split(" ")[:2]) for note in notes}:
                leftovers[kind] += 1
            if problems:
                failures.append(number)
                print("FAIL run %d, killed after %.2f ms (%s):" % (number, delay * 1000, stage))
                for line in problems:
                    print("     " + line)
                if args.keep and len(failures) == 1:
                    kept = tempfile.mkdtemp(prefix="crash-kept.")
                    shutil.copytree(machine.root, os.path.join(kept, "machine"), symlinks=True)
                    print("     machine kept in %s" % kept)
        if tree_digests(scenario.package_template) != scenario.package_digests:
            failures.append("package")
            print("FAIL the package's files changed")

        print("runs: %d killed at random moments in %.0f s, seed %d" % (
            done, time.monotonic() - began, args.seed))
        print("complete runs timed: %d, from %.1f to %.1f ms" % (
            len(durations), min(durations) * 1000, max(durations) * 1000))
        print("kill moments, by tenth of a complete run:")
        print("  " + "  ".join("%d-%d%%: %d" % (t * 10, t * 10 + 10, spread[t])
                               for t in range(10)))
        print("  at once: %d; ended before the kill came: %d" % (
            sum(1 for f in plan[:done] if f == 0.0), ended_before_kill))
        print("how far the runs got:")
        for stage in sorted(outcomes):
            print("  %-26s %d" % (stage, outcomes[stage]))
        print("temporaries left behind: %s" % (
            ", ".join("%s: %d runs" % item for item in sorted(leftovers.items())) or "none"))
        print("%d of %d runs left something lost or torn" % (len(failures), done))
        return 1 if failures else 0
    finally:
        remove_tree(scratch)


if __name__ == "__main__":
    sys.exit(main())
