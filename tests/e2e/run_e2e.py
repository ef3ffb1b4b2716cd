#!/usr/bin/env python3
"""Whole runs of the built updater from a package folder, checked by what a user sees: the
message boxes and the exit code.

    run_e2e.py native SETUP_EXE CASE...   on the emulated machine named by $WIN32EMU_ROOT
                                          (fresh: run it under tests/tools/fresh-machine)
    run_e2e.py wine SETUP_EXE CASE...     under Wine, in a fresh prefix made and removed here

The native build's boxes are read from <root>/messages.log; under Wine, from the relay trace
of user32.MessageBoxA.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import wine_program  # the loader, prefix and registry view of a Windows program
from e2e_cases import (CASES, IO_ERROR_CAPTION, IO_ERROR_TEXT, IO_ERROR_TYPE, Box, make_package,
                       report)
from log_text import unescape_log_text


def check_box(expected, boxes):
    """Problems with the boxes shown, against the one box expected; [] when all is right."""
    if len(boxes) != 1:
        return ["expected exactly one message box, got %d: %r" % (len(boxes), boxes)]
    box = boxes[0]
    problems = []
    if expected == "io_error":
        if box.caption != IO_ERROR_CAPTION:
            problems.append("caption %r, expected %r" % (box.caption, IO_ERROR_CAPTION))
        if box.type != IO_ERROR_TYPE:
            problems.append("type 0x%04X, expected 0x%04X" % (box.type, IO_ERROR_TYPE))
        if not IO_ERROR_TEXT.fullmatch(box.text):
            problems.append("text %r does not match %r" % (box.text, IO_ERROR_TEXT.pattern))
    else:
        if box.caption != expected.caption:
            problems.append("caption %r, expected %r" % (box.caption, expected.caption))
        if box.type != expected.type:
            problems.append("type 0x%04X, expected 0x%04X" % (box.type, expected.type))
        if box.text != expected.text:
            problems.append("text %r, expected %r" % (box.text, expected.text))
    return problems


# --- the native build on the emulated machine ------------------------------------------------
def read_message_log(path):
    """The boxes recorded in messages.log: type 0xHHHH TAB caption or (null) TAB text."""
    if not os.path.exists(path):
        return []
    boxes = []
    with open(path, "rb") as log:
        for raw in log.read().decode("latin-1").split("\n"):
            if raw == "":
                continue
            fields = raw.split("\t")
            if len(fields) != 3 or not re.fullmatch(r"0x[0-9A-Fa-f]{4}", fields[0]):
                raise ValueError("malformed messages.log line %r" % raw)
            caption = None if fields[1] == "(null)" else fields[1]
            boxes.append(Box(int(fields[0], 16), caption, unescape_log_text(fields[2])))
    return boxes


def run_native(setup_exe, names):
    root = os.environ.get("WIN32EMU_ROOT", "")
    if not root:
        sys.exit("run_e2e.py: WIN32EMU_ROOT is not set; run under tests/tools/fresh-machine")
    # The machine's usual folders; the package goes under drive C.
    for folder in ("drive_c/WINDOWS", "drive_c/TEMP"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    env = dict(os.environ)
    # Sanitizer reports get exit codes of their own, apart from the updater's 1.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":exitcode=86").lstrip(":")
    env["UBSAN_OPTIONS"] = (env.get("UBSAN_OPTIONS", "") +
                            ":exitcode=87:print_stacktrace=1").lstrip(":")
    failures = 0
    for name in names:
        case = CASES[name]
        package = os.path.join(root, "drive_c", "Pkg-" + name)
        make_package(package, setup_exe, case["files"])
        log = os.path.join(root, "messages.log")
        if os.path.exists(log):
            os.remove(log)
        done = subprocess.run([os.path.join(package, "setup.exe")], cwd=package, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        problems = []
        if done.returncode != case["exit"]:
            problems.append("exit code %d, expected %d" % (done.returncode, case["exit"]))
        problems += check_box(case["box"], read_message_log(log))
        failures += report(name, problems, done.stderr)
    return failures


# --- the Windows build under Wine --------------------------------------------------------------

# Wine writes pointers and numbers in 8 hex digits at least, and a 64-bit program's wider
# pointers in as many as they need, up to 16.
WORD = r"[0-9a-f]{8,16}"
RELAY_CALL = re.compile(
    r'Call user32\.MessageBoxA\(' + WORD + "," + WORD + r' "((?:[^"\\]|\\.)*)",'
    r'(?:' + WORD + r' "((?:[^"\\]|\\.)*)"|0{8,16}),(' + WORD + r')\)')
RELAY_ESCAPES = {"\\": "\\", "r": "\r", "n": "\n", "t": "\t", '"': '"'}


def unescape_relay_text(text):
    """The text behind Wine's debug escapes (\\n, \\r, \\t, \\\\, \\", \\xHH, \\ooo)."""
    def one(match):
        escape = match.group(1)
        if escape in RELAY_ESCAPES:
            return RELAY_ESCAPES[escape]
        if escape.startswith("x"):
            return chr(int(escape[1:], 16))
        return chr(int(escape, 8))
    return re.sub(r'\\(x[0-9a-fA-F]{2}|[0-7]{1,3}|.)', one, text)


def read_relay_boxes(trace):
    boxes = []
    for match in RELAY_CALL.finditer(trace):
        caption = None if match.group(2) is None else unescape_relay_text(match.group(2))
        boxes.append(Box(int(match.group(3), 16), caption, unescape_relay_text(match.group(1))))
    return boxes


def run_wine(setup_exe, names):
    wine = wine_program.runnable(setup_exe)
    scratch = tempfile.mkdtemp(prefix="e2e-wine.")
    prefix = os.path.join(scratch, "prefix")
    env = wine.env(prefix)
    try:
        wine.set_up("wineboot", "-i", env=env, timeout=240)
        wine.set_up("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t",
                    "REG_SZ", "/d", "user32.MessageBoxA", "/f", env=env)
        traced = dict(env, WINEDEBUG="+relay")
        failures = 0
        for name in names:
            case = CASES[name]
            package = os.path.join(prefix, "drive_c", "Pkg-" + name)
            make_package(package, setup_exe, case["files"])
            done = subprocess.run(wine.command("C:\\Pkg-%s\\setup.exe" % name), cwd=package,
                                  env=traced, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=120)
            trace = done.stderr.decode("latin-1")
            problems = []
            if done.returncode != case["exit"]:
                problems.append("exit code %d, expected %d" % (done.returncode, case["exit"]))
            problems += check_box(case["box"], read_relay_boxes(trace))
            relay_lines = "\n".join(
                line for line in trace.splitlines() if "user32.MessageBoxA(" in line)
            failures += report(name, problems, relay_lines.encode("latin-1"))
        return failures
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
        shutil.rmtree(scratch, ignore_errors=True)


def main(argv):
    if len(argv) < 4 or argv[1] not in ("native", "wine") or any(n not in CASES for n in argv[3:]):
        sys.exit("usage: run_e2e.py native|wine SETUP_EXE CASE...\ncases: " + " ".join(CASES))
    setup_exe = os.path.abspath(argv[2])
    runner = run_native if argv[1] == "native" else run_wine
    failures = runner(setup_exe, argv[3:])
    print("%d passed, %d failed" % (len(argv) - 3 - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
