#!/usr/bin/env python3
"""Updater runs started at once on one machine, which must end as the same runs one after the
other would.

- same: the same complete update started twice at once, round after round. Both runs exit
  with 0, and InstallDir (launcher files, OldExe\\, content), the product's registry key and
  the programs started are exactly what the two runs leave one after the other. Where the
  product's setup program that the first run started still runs when the second looks at the
  launcher files (under Wine, whose running programs hold their files as Windows' do), the
  second is refused before it changes anything but "OldInstVer", with exit code 1: the
  product is then as the first run alone leaves it.
- products: the updates of two products started at once: both complete, and both products
  are left as when the two runs go one after the other.
- killed (native): a run killed while it holds the machine's run lock does not block the
  next run, which ends at once, without the box of a run still going.
- held (native): a stand-in program holds the run lock past the wait limit of the emulated
  machine (WIN32EMU_WAIT_LIMIT): the run ends with the error box "Another update is still
  running." and exit code 1, and nothing on the machine has changed.

Natively every round runs on a fresh emulated machine; under Wine (--wine) on one fresh
prefix, reset between rounds, with the acceptance suite's recorder as each product's own
setup program. The machines and the registry parser are the suites' shared ones
(tests/support/py).
"""

import argparse
import hashlib
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import types

import wine_program  # Wine's starts that fail
from launcher_files import read_launcher_files
from native_machine import NativeMachine
from registry_text import REG_SZ
from trees import remove_tree
from wine_machine import STARTED_SUFFIX, WineMachine

RUN_LOCK = "Global\\BraskQuestsUpdater"
STILL_RUNNING = ("Exception EInOutError in module setup.exe at ", ".\nAnother update is still "
                 "running.")
MiB = 1 << 20


class Product:
    """An installed product whose installer left no "Version" (1.0 or 1.1), and the package
    that updates it completely: NewExe\\ and a content tree of a few MiB."""

    def __init__(self, key, package_dir, seed, launchers):
        rng = random.Random(seed)
        self.key = key
        self.package_dir = package_dir
        self.package = {
            "options.inf": b"Brask Quests\r\n%s\r\n" % key.encode() + b"x\r\n" * 12,
            "set.inf": b"Quests\r\nunused\r\n1.00\r\nPallum 2.2\r\n[end]\r\n",
            "uninstall.inf": b"[uninstall]\r\n" + rng.randbytes(300),
        }
        for name in launchers:
            if name != "setup.exe":
                self.package["NewExe/" + name] = rng.randbytes(3000)
        for number in range(40):
            self.package["Quests/Part%d/q%02d.qst" % (number % 4, number)] = rng.randbytes(
                rng.randrange(1000, 200000))
        self.package["Quests/intro.bik"] = rng.randbytes(4 * MiB)
        self.install = {name: rng.randbytes(2000) for name in launchers if name != "setup.exe"}
        self.install["Saves/slot1.sav"] = rng.randbytes(500)
        self.registry = ('[HKEY_LOCAL_MACHINE\\Software\\%s]\r\n'
                         '"ProductVersion"="Pallum 2.2"\r\n"Players"=dword:00000002\r\n\r\n' % key)

    def set_up(self, machine, updater, setup_program):
        install = machine.host_path(machine.windows_dir + "\\" + self.key)
        package = machine.host_path(self.package_dir)
        write_tree(install, self.install)
        write_tree(package, self.package)
        # The package's new setup.exe and the installed one are the product's own program,
        # so that the run's start of it can be seen.
        for folder in (install, os.path.join(package, "NewExe")):
            with open(os.path.join(folder, "setup.exe"), "wb") as f:
                f.write(setup_program)
            os.chmod(os.path.join(folder, "setup.exe"), 0o755)
        machine.put_updater(os.path.join(package, "setup.exe"))


def write_tree(root, tree):
    for rel, data in tree.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def digests(root):
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for name in dirs:
            tree[os.path.normpath(os.path.join(rel, name))] = "folder"
        for name in files:
            if name.endswith(STARTED_SUFFIX):
                continue  # the recorder's own record, read as the program starts instead
            with open(os.path.join(folder, name), "rb") as f:
                tree[os.path.normpath(os.path.join(rel, name))] = hashlib.sha256(
                    f.read()).hexdigest()[:16]
    return tree


class Bench:
    """One kind of machine (native or Wine) and the runs on it."""

    def __init__(self, args, scratch):
        self.args = args
        self.updater = os.path.abspath(args.updater)
        self.scratch = scratch
        self.rounds = 0
        self.printed = []
        if args.wine:
            self.machine = WineMachine(self.updater, args.recorder, scratch)
            self.setup_program = self.machine.recorder
        else:
            self.machine = NativeMachine(self.updater, scratch)
            self.setup_program = b"#!/bin/sh\nexit 0\n"

    def fresh(self, products):
        self.rounds += 1
        case = types.SimpleNamespace(name="round%04d" % self.rounds, product_key=products[0].key,
                                     package_dir=products[0].package_dir)
        self.machine.reset(case)
        if self.args.wine:
            for product in products[1:]:
                self.machine.touched_keys.add(product.key)
                self.machine.touched_paths |= {
                    self.machine.host_path(self.machine.windows_dir + "\\" + product.key),
                    self.machine.host_path(product.package_dir)}
        self.machine.write_registry("REGEDIT4\r\n\r\n" + "".join(p.registry for p in products))
        for product in products:
            product.set_up(self.machine, self.updater, self.setup_program)

    def start(self, product, extra_env=None):
        stderr = subprocess.DEVNULL
        if self.args.wine:
            command = self.machine.program.command(product.package_dir + "setup.exe")
            env = wine_program.telling_start_failures(dict(self.machine.env,
                                                           **(extra_env or {})))
            cwd = self.scratch
            # What Wine prints for the run and the program it starts, read by started_runs.
            stderr = tempfile.TemporaryFile(dir=self.scratch)
            self.printed.append(stderr)
        else:
            command = [os.path.join(self.machine.host_path(product.package_dir), "setup.exe")]
            env = dict(os.environ, WIN32EMU_ROOT=self.machine.root, **(extra_env or {}))
            cwd = self.machine.root
        return subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=stderr)

    def started_runs(self, products, runs, at_once):
        """The exit codes of `runs` on a fresh machine, started together or each after the
        last has ended. A round in which Wine could not start a process, a run or the program
        it starts, tells nothing and is run again."""
        def round_():
            self.fresh(products)
            if at_once:
                processes = [self.start(product) for product in runs]
                codes = [wait(process) for process in processes]
            else:
                codes = [wait(self.start(product)) for product in runs]
            printed = []
            for output in self.printed:
                output.seek(0)
                printed.append(output.read())
                output.close()
            self.printed = []
            if any(wine_program.not_started(text) for text in printed):
                raise wine_program.NotStarted("Wine could not start a process of the runs")
            return codes

        return wine_program.started_again(round_)

    def state(self, products, started):
        """What the runs left: each InstallDir, each product's key, each program start."""
        state = {}
        for product in products:
            install = self.machine.host_path(self.machine.windows_dir + "\\" + product.key)
            self.machine.wait_for_starts(install, started.get(product.key, 0))
            key = self.machine.read_key(product.key) or {}
            state[product.key] = {
                "InstallDir": digests(install),
                "registry": {value[0]: value[1:] for value in key.values()},
                "starts": len(self.machine.starts(install)),
            }
        return state

    def one_after_the_other(self, runs):
        """The state that `runs` (products, in order) leave when each waits for the last."""
        products = unique(runs)
        codes = self.started_runs(products, runs, at_once=False)
        if codes != [0] * len(runs):
            raise SystemExit("runs one after the other ended with %r" % codes)
        return self.state(products, count_runs(runs))

    def first_alone(self, product):
        """What the first of two runs of `product` leaves when the second is refused because
        the product's setup program, started by the first, still runs: the second has written
        "OldInstVer" only, the installer version the first recorded."""
        state = self.one_after_the_other([product])
        state[product.key]["registry"]["OldInstVer"] = (REG_SZ, b"1.3.1\0")
        return state

    def at_once(self, runs, rounds, name, later_refused=None):
        """Rounds of `runs` started together; the number of rounds that went wrong. With
        `later_refused`, a round may also end with one run refused and that state."""
        products = unique(runs)
        expected = self.one_after_the_other(runs)
        wrong = 0
        refused = 0
        for number in range(1, rounds + 1):
            codes = self.started_runs(products, runs, at_once=True)
            problems = []
            if later_refused is not None and sorted(codes) == [0, 1]:
                # One product, run twice: only the first run started its setup program.
                refused += 1
                problems += differences(later_refused, self.state(products, {runs[0].key: 1}))
            else:
                if codes != [0] * len(runs):
                    problems.append("exit codes %r" % codes)
                problems += differences(expected, self.state(products, count_runs(runs)))
            if problems:
                wrong += 1
                print("FAIL  %s, round %d:" % (name, number))
                for problem in problems[:12]:
                    print("      " + problem)
        print("%s  %s: %d of %d rounds ended otherwise than the runs one after the other%s"
              % ("FAIL" if wrong else "ok  ", name, wrong, rounds,
                 " (%d with the later run refused, its product's setup program in use)" % refused
                 if refused else ""))
        return wrong

    def killed_holder(self, product, rounds):
        """Runs killed while they hold the run lock; the next run, started after the kill or
        already waiting for the lock, must not wait for them. A run that is to be killed with
        another waiting is stopped first (SIGSTOP), so that it cannot end before the other
        waits for it."""
        wrong = waited = 0
        self.fresh([product])
        started = time.monotonic()
        wait(self.start(product))
        duration = time.monotonic() - started
        for number in range(1, rounds + 1):
            self.fresh([product])
            victim = self.start(product)
            time.sleep(duration * (0.05 + 0.4 * number / rounds))
            waiting = number % 2 == 0
            if waiting:
                victim.send_signal(signal.SIGSTOP)
                following = self.start(product, {"WIN32EMU_WAIT_LIMIT": "5000"})
                time.sleep(0.3)
                waited += following.poll() is None
            victim.send_signal(signal.SIGKILL)
            victim.wait()
            killed = time.monotonic()
            if not waiting:
                following = self.start(product, {"WIN32EMU_WAIT_LIMIT": "5000"})
            code = wait(following)
            took = time.monotonic() - killed
            boxes = self.machine.read_log("messages.log", self.machine.consume_box)
            if code != 0 or boxes or took > 4:
                wrong += 1
                print("FAIL  killed, round %d: the run %s the kill ended %.1f s after it, exit "
                      "code %s, boxes %r" % (number, "waiting at" if waiting else "started after",
                                             took, code, boxes))
        if waited == 0:
            wrong += 1
            print("FAIL  killed: no run was found waiting for a stopped one")
        print("%s  killed: %d of %d runs after a killed one waited or failed; %d of them were "
              "waiting for it" % ("FAIL" if wrong else "ok  ", wrong, rounds, waited))
        return wrong

    def held_past_limit(self, product, holder):
        """A stand-in holds the run lock beyond the wait limit: an error box, nothing changed."""
        self.fresh([product])
        root = self.machine.root
        before = (digests(os.path.join(root, "drive_c")), read(os.path.join(root, "system.reg")))
        env = dict(os.environ, WIN32EMU_ROOT=root)
        stand_in = subprocess.Popen([holder, RUN_LOCK, "60"], env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        problems = []
        try:
            if stand_in.stdout.readline() != b"held\n":
                raise SystemExit("the stand-in did not take the run lock")
            began = time.monotonic()
            code = wait(self.start(product, {"WIN32EMU_WAIT_LIMIT": "1500"}))
            took = time.monotonic() - began
        finally:
            stand_in.kill()
            stand_in.wait()
        boxes = self.machine.read_log("messages.log", self.machine.consume_box)
        if code != 1:
            problems.append("exit code %d, expected 1" % code)
        start, end = STILL_RUNNING
        if len(boxes) != 1 or boxes[0][:2] != (0x2010, "Application Error") or not (
                boxes[0][2].startswith(start) and boxes[0][2].endswith(end)):
            problems.append("boxes %r, expected the one error box %r" % (boxes, "...".join(
                STILL_RUNNING)))
        if not 1.4 < took < 10:
            problems.append("the run waited %.1f s with a limit of 1.5 s" % took)
        after = (digests(os.path.join(root, "drive_c")), read(os.path.join(root, "system.reg")))
        if after[1] != before[1]:
            problems.append("system.reg changed")
        changed = sorted(path for path in set(before[0]) | set(after[0])
                         if before[0].get(path) != after[0].get(path))
        if changed:
            problems.append("drive C changed: %s" % changed[:8])
        if os.path.exists(os.path.join(root, "exec.log")):
            problems.append("a program was started")
        print("%s  held: a run lock held past the limit%s" % (
            "FAIL" if problems else "ok  ", "".join("\n      " + p for p in problems)))
        return 1 if problems else 0


def unique(runs):
    seen = []
    for product in runs:
        if product not in seen:
            seen.append(product)
    return seen


def count_runs(runs):
    counts = {}
    for product in runs:
        counts[product.key] = counts.get(product.key, 0) + 1
    return counts


def wait(process):
    try:
        return process.wait(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "hang"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def differences(expected, actual):
    problems = []
    for key in expected:
        for part in ("InstallDir", "registry", "starts"):
            want, got = expected[key].get(part), actual.get(key, {}).get(part)
            if want == got:
                continue
            if isinstance(want, dict):
                for name in sorted(set(want) | set(got or {})):
                    if want.get(name) != (got or {}).get(name):
                        problems.append("%s %s %s: %r, one after the other %r" % (
                            key, part, name, (got or {}).get(name), want.get(name)))
            else:
                problems.append("%s %s: %r, one after the other %r" % (key, part, got, want))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--updater", required=True, help="the built setup.exe")
    parser.add_argument("--wine", action="store_true", help="the Windows build under Wine")
    parser.add_argument("--recorder", help="the acceptance recorder (with --wine)")
    parser.add_argument("--launcher-files", required=True,
                        help="the lister of the launcher files (list_launcher_files)")
    parser.add_argument("--holder", help="the run lock stand-in, tests/tools/mutex_holder "
                        "(native)")
    parser.add_argument("--rounds", type=int, default=40, help="rounds of each start at once")
    parser.add_argument("--only", choices=("same", "products", "killed", "held"), nargs="*",
                        help="run only these parts")
    args = parser.parse_args()
    if args.wine and not args.recorder:
        parser.error("--wine needs --recorder")
    wanted = set(args.only or ("same", "products", "killed", "held"))
    if args.wine:
        wanted -= {"killed", "held"}  # the kill and the wait limit need the emulated machine
    scratch = tempfile.mkdtemp(prefix="double-starts.")
    bench = None
    try:
        bench = Bench(args, scratch)
        if args.wine:  # the Windows build's lister, in the suite's prefix
            launchers = read_launcher_files(args.launcher_files, bench.machine.program,
                                            bench.machine.env)
        else:
            launchers = read_launcher_files(args.launcher_files)
        pallum = Product("BraskQuestsInstallerPallum", "C:\\Pkg\\", 1, launchers)
        original = Product("BraskQuestsInstallerOriginal", "C:\\Other Pkg\\", 2, launchers)
        failed = 0
        if "same" in wanted:
            failed += bench.at_once([pallum, pallum], args.rounds, "same",
                                    bench.first_alone(pallum) if args.wine else None)
        if "products" in wanted:
            failed += bench.at_once([pallum, original], max(1, args.rounds // 2), "products")
        if "killed" in wanted:
            failed += bench.killed_holder(pallum, 10)
        if "held" in wanted:
            if not args.holder:
                parser.error("the part 'held' needs --holder")
            failed += bench.held_past_limit(pallum, os.path.abspath(args.holder))
        return 1 if failed else 0
    finally:
        if bench is not None:
            bench.machine.close()
        remove_tree(scratch)


if __name__ == "__main__":
    sys.exit(main())
