#!/usr/bin/env python3
"""How Wine starts the Windows program: its manifest and its first call.

    start_trace.py SETUP_EXE

Runs a complete package on a machine where nothing is installed (the refusal box returns at
once without a display) under WINEDEBUG=+relay,+actctx, and checks in the trace that
- Wine found the manifest resource and parsed it without an activation-context error, with
  the Common Controls 6 dependency and dpiAware;
- the first thing the program's own code does, after the C runtime's start-up, is to look up
  SetDefaultDllDirectories in kernel32 and call it with LOAD_LIBRARY_SEARCH_SYSTEM32, and
  that the call succeeds.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

import e2e_cases  # the package files of the whole-run tests
import wine_program  # the loader, prefix and registry view of a Windows program

HERE = os.path.dirname(os.path.abspath(__file__))

CALL = re.compile(r"^([0-9a-f]{4}):Call ([\w.]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
RETURN = re.compile(r"^([0-9a-f]{4}):Ret  ([\w.]+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def run_calls():
    """The Win32 calls the run makes: the emulated subset, less the error code's accessors,
    which the C runtime uses too, and the three calls of the DLL search itself."""
    with open(os.path.join(HERE, "..", "..", "src", "win32emu", "include", "win32emu",
                           "emulated_win32.h")) as f:
        names = set(re.findall(r"\bWINAPI\s+(\w+)\(", f.read()))
    names -= {"GetLastError", "SetLastError", "GetModuleHandleA", "GetProcAddress",
              "SetDefaultDllDirectories"}
    return names | {"LoadLibraryA", "LoadLibraryW", "LoadLibraryExA", "LoadLibraryExW"}


def program_calls(trace, image_start, image_end):
    """(function, arguments, return value or None) of each relayed call made from the
    program's own image, in order."""
    calls = []
    open_calls = {}
    for line in trace.splitlines():
        called = CALL.match(line)
        if called and image_start <= int(called.group(5), 16) < image_end:
            open_calls[(called.group(1), called.group(3), called.group(5))] = len(calls)
            calls.append([called.group(3), called.group(4), None])
            continue
        returned = RETURN.match(line)
        if returned:
            at = open_calls.pop((returned.group(1), returned.group(3), returned.group(5)), None)
            if at is not None:
                calls[at][2] = int(returned.group(4), 16)
    return calls


def check_manifest(trace):
    problems = []
    errors = [line for line in trace.splitlines() if ":err:actctx:" in line or
              ("actctx" in line and "failed to parse manifest" in line)]
    if errors:
        problems.append("activation context errors: %s" % errors[:5])
    expected = [
        r'get_manifest_in_module looking for res #0001 in module \w+ L".*setup\.exe"',
        r'parse_dependent_assembly_elem adding name=L"Microsoft\.Windows\.Common-Controls" '
        r'version=6\.0\.0\.0',
        r'parse_settings_elem got L"dpiAware" L"true"',
    ]
    for pattern in expected:
        if not re.search(pattern, trace):
            problems.append("no trace line matching %r" % pattern)
    return problems


def check_first_call(calls):
    looked_up = next((at for at, call in enumerate(calls)
                      if call[0] == "GetModuleHandleA" and '"kernel32.dll"' in call[1]), None)
    if looked_up is None:
        return ["kernel32 was never looked up; the program's calls: %s"
                % [call[0] for call in calls[:40]]]
    problems = []
    # What comes before the C runtime reads the command line for main is its own start-up.
    started = max([at + 1 for at, call in enumerate(calls[:looked_up])
                   if call[0] == "__getmainargs"] or [0])
    own_before = [call[0] for call in calls[started:looked_up] if call[0] in run_calls()]
    if own_before:
        problems.append("the run called %s before restricting the DLL search" % own_before)
    following = calls[looked_up + 1:looked_up + 3]
    if (len(following) != 2 or following[0][0] != "GetProcAddress" or
            '"SetDefaultDllDirectories"' not in following[0][1] or
            following[1][0] != "SetDefaultDllDirectories"):
        return problems + ["after kernel32's lookup came %s, not SetDefaultDllDirectories"
                           % [call[:2] for call in following]]
    # The argument as wide as the program's pointers: 8 or 16 hex digits.
    if not re.fullmatch(r"0*800", following[1][1]):
        problems.append("SetDefaultDllDirectories(%s), expected 0x800" % following[1][1])
    if following[1][2] != 1:
        problems.append("SetDefaultDllDirectories returned %s, expected 1" % following[1][2])
    return problems


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: start_trace.py SETUP_EXE")
    setup_exe = os.path.abspath(argv[1])
    wine = wine_program.runnable(setup_exe)
    image = pefile.PE(setup_exe, fast_load=True)
    image_start = image.OPTIONAL_HEADER.ImageBase
    image_end = image_start + image.OPTIONAL_HEADER.SizeOfImage
    scratch = tempfile.mkdtemp(prefix="start-trace.")
    prefix = os.path.join(scratch, "prefix")
    env = wine.env(prefix)
    log = open(os.path.join(scratch, "wine.log"), "wb")
    try:
        os.makedirs(prefix)
        # One server, booted first, so that only the program itself runs traced.
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        wine.set_up("wineboot", "-i", env=env, log=log, timeout=240)
        package = os.path.join(prefix, "drive_c", "Pkg")
        e2e_cases.make_package(package, setup_exe, e2e_cases.CASES["nothing_installed"]["files"])
        trace_file = os.path.join(scratch, "trace.txt")
        with open(trace_file, "wb") as trace_out:
            done = subprocess.run(wine.command("C:\\Pkg\\setup.exe"), cwd=package,
                                  env=dict(env, WINEDEBUG="+relay,+actctx"),
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=trace_out,
                                  timeout=300)
        with open(trace_file, "rb") as f:
            trace = f.read().decode("latin-1")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=log, stderr=log, timeout=60)
        shutil.rmtree(scratch, ignore_errors=True)
    checks = [
        ("the run ends as with nothing installed",
         [] if done.returncode == 0 else ["exit code %d, expected 0" % done.returncode]),
        ("Wine loads the manifest", check_manifest(trace)),
        ("the DLL search is restricted first",
         check_first_call(program_calls(trace, image_start, image_end))),
    ]
    failures = 0
    for name, problems in checks:
        failures += e2e_cases.report(name, problems, b"")
    print("%d passed, %d failed" % (len(checks) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
