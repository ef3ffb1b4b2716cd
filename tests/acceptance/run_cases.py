#!/usr/bin/env python3
"""Whole runs of the updater, one per case folder under cases/.

Each case sets up a machine (registry record, InstallDir, package), runs the updater from the
package folder, and compares what the run left behind with what the case expects. The table
cases/conditions derives further cases from these, each with a set-up of its own. The same
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

import wine_program  # Wine's starts that fail
from acceptance_cases import (CASES, Case, Tokens, apply_set_up, expected_box, expected_start,
                              read_conditions)
from case_error import CaseError
from log_text import Truncated, b2s, escape_log, s2b, unescape
from native_machine import NativeMachine
from registry_text import REG_SZ, compare_values, parse_reg, reg_escape
from trees import KEEP, compare_trees, copy_case_tree, read_tree, remove_tree
from wine_machine import STARTED_SUFFIX, WineMachine


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
    apply_set_up(case, machine, package_host)
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
    for fault in case.set_up.get("fault", []):
        call, subject, code, *nth = fault.split(" ")
        machine.plant_fault(case.package_dir, call, tokens.fill(subject), int(code),
                            int(nth[0]) if nth else 1)

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
        kind == got_kind and caption == got_caption and (
            truncated_text_matches(tokens, written, got_text) if isinstance(got_text, Truncated)
            else pattern.fullmatch(got_text))
        for (kind, caption, pattern, written), (got_kind, got_caption, got_text)
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
        for name, text in case.written_before:
            expected_key[name.lower()] = (name, REG_SZ, s2b(text) + b"\0")
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


def truncated_text_matches(tokens, written, shown):
    """Whether a box text the trace shows only in its first 200 characters or more begins the
    expected one (its code address taken from what was shown)."""
    text = re.match(r'^0x[0-9A-Fa-f]{4}\s+(?:\(null\)|"(?:[^"\\]|\\.)*")\s(.*)$', written).group(1)
    address = re.search(r" at ([0-9A-F]{8})\.\n", shown)
    if address:
        text = text.replace("{ADDR}", address.group(1))
    expected = unescape(tokens.fill(text, escape_log))
    return len(shown) >= 200 and expected.startswith(shown)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    build = parser.add_mutually_exclusive_group(required=True)
    build.add_argument("--native", action="store_true", help="run the native build")
    build.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("--updater", required=True, help="the built setup.exe")
    parser.add_argument("--recorder", help="the built recorder (Wine only)")
    parser.add_argument("cases", nargs="*", help="case names (default: all)")
    args = parser.parse_args()

    names = sorted(n for n in os.listdir(CASES) if os.path.isfile(os.path.join(CASES, n, "expect")))
    cases = [Case(os.path.join(CASES, name)) for name in names] + read_conditions()
    if args.cases:
        cases = [case for case in cases if case.name in args.cases]
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
                # A case in which Wine could not start a process tells nothing: it is run
                # again from the start.
                problems = wine_program.started_again(lambda: run_case(case, machine))
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
