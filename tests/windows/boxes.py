#!/usr/bin/env python3
"""The updater's message boxes as users see them: Wine with a display, on a virtual X server.

    boxes.py SETUP_EXE BOX_PROBE_EXE [--screenshots DIR]

For each case the box must appear as a real window with the title Windows gives it, carry the
expected icon, text and one OK button, keep the program waiting, and end it with its exit code
only once OK is clicked. A PNG of each box goes to DIR (default: none kept).
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import e2e_cases  # the package files of the whole-run tests
import log_text  # the probe writes its texts with the log escapes
import wine_program  # the loader, prefix and registry view of a Windows program

REFUSAL = "This updater can update only Pallum 2.2 version!\r"
CASES = [
    # name, package files, installed "ProductVersion" (None: nothing installed), title,
    # icon, text pattern, exit code
    ("nothing-installed", e2e_cases.CASES["nothing_installed"]["files"], None, "Error", None,
     re.escape(REFUSAL + "But nothing is installed!"), 0),
    ("unlisted-version", e2e_cases.CASES["nothing_installed"]["files"], "Pallum 1.9", "Error",
     None, re.escape(REFUSAL + "Version Pallum 1.9 is installed already."), 0),
    ("missing-set-inf", e2e_cases.CASES["missing_set_inf"]["files"], None, "Application Error",
     "error", e2e_cases.IO_ERROR_TEXT.pattern, 1),
]
WAIT_FOR_WINDOW = 90  # s; the first window of a prefix starts Wine's desktop process


def end_with_parent():
    """In the X server's process: ended when this runner ends, even when it is killed."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def start_x_server(scratch):
    """A virtual X server on a display number it picks itself; (process, display)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
         "-auth", os.path.join(scratch, "no-auth")],
        pass_fds=(write_end,), preexec_fn=end_with_parent, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(scratch, "xvfb.log"), "wb"))
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number


def window_ids(env, title):
    found = subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title)],
        env=env, capture_output=True, text=True)
    return found.stdout.split()


def read_probe(path):
    """The probe's lines as field lists; the system icons' renderings apart, by name."""
    items = []
    renderings = {}
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            fields = line.split("\t")
            if fields[0] == "text":
                fields[1] = log_text.unescape_log_text(fields[1])
            if fields[0] == "rendering":
                renderings.setdefault(fields[1], {})[fields[2]] = bytes.fromhex(fields[3])
            else:
                items.append(fields)
    return items, renderings


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM file."""
    with open(path, "rb") as f:
        data = f.read()
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    width, height = int(header.group(1)), int(header.group(2))
    return width, height, data[header.end():header.end() + width * height * 3]


def icon_on_screen(screen, x, y, width, height, renderings):
    """The name of the system icon whose rendering over the box's background is what the
    screen shows at (x, y), or "unknown". A rendering over black and one over white give each
    pixel's colour and coverage, so that it can be laid over any background."""
    screen_width, _, pixels = screen

    def at(px, py):
        offset = (py * screen_width + px) * 3
        return pixels[offset:offset + 3]

    background = at(x - 1, y)  # the box's own colour, just left of the icon
    for name, over in renderings.items():
        mismatches = 0
        for row in range(height):
            for column in range(width):
                offset = (row * width + column) * 3
                shown = at(x + column, y + row)
                for channel in range(3):
                    dark, light = over["black"][offset + channel], over["white"][offset + channel]
                    expected = dark + (light - dark) * background[channel] / 255
                    if abs(shown[channel] - expected) > 8:
                        mismatches += 1
                        break
        if mismatches <= width * height // 50:
            return name
    return "unknown"


def run_case(case, wine, env, log, prefix, setup_exe, probe, screenshots):
    name, files, installed, title, icon, text, exit_code = case
    key = "HKLM\\Software\\" + e2e_cases.PRODUCT_KEY
    wine.set_up("reg", "delete", key, "/f", wine.reg_view, env=env, log=log, check=False)
    if installed is not None:
        wine.set_up("reg", "add", key, "/v", "ProductVersion", "/t", "REG_SZ", "/d", installed,
                    "/f", wine.reg_view, env=env, log=log)
    package = os.path.join(prefix, "drive_c", "Pkg-" + name)
    e2e_cases.make_package(package, setup_exe, files)
    program = subprocess.Popen(wine.command("C:\\Pkg-%s\\setup.exe" % name), env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    problems = []
    try:
        deadline = time.monotonic() + WAIT_FOR_WINDOW
        windows = []
        while not windows and time.monotonic() < deadline and program.poll() is None:
            time.sleep(0.25)
            windows = window_ids(env, title)
        if len(windows) != 1:
            return ["%d windows titled %r (program %s)" % (
                len(windows), title, "ended with %s" % program.returncode
                if program.poll() is not None else "still running")]
        time.sleep(2)
        if program.poll() is not None:
            return ["the program ended with %d while its box was up" % program.returncode]
        if screenshots:
            subprocess.run(["import", "-window", windows[0],
                            os.path.join(screenshots, "box-%s.png" % name)],
                           env=env, capture_output=True, check=True)
        described = os.path.join(prefix, "drive_c", "probe.txt")
        if os.path.exists(described):
            os.remove(described)
        shutil.copy(probe, os.path.join(prefix, "drive_c", "box_probe.exe"))
        subprocess.run(wine.command("C:\\box_probe.exe", title, "C:\\probe.txt"), env=env,
                       stdout=log, stderr=log, timeout=60)
        if not os.path.exists(described):
            return ["the probe found no box titled %r" % title]
        items, renderings = read_probe(described)
        screen_file = os.path.join(os.path.dirname(described), "screen.ppm")
        subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:" + screen_file],
                       env=env, stdout=log,
                       stderr=log, check=True)
        screen = read_ppm(screen_file)
        texts = [item[1] for item in items if item[0] == "text"]
        icons = [icon_on_screen(screen, *[int(n) for n in item[1:5]], renderings)
                 for item in items if item[0] == "icon"]
        buttons = [item for item in items if item[0] == "button"]
        if [item[1] for item in items if item[0] == "title"] != [title]:
            problems.append("title %r" % [item[1] for item in items if item[0] == "title"])
        if icons != ([icon] if icon else []):
            problems.append("icons %s, expected %s; the probe saw %s"
                            % (icons, [icon] if icon else "none", items))
        if len(texts) != 1 or not re.fullmatch(text, texts[0]):
            problems.append("texts %r, expected one matching %r" % (texts, text))
        if [button[1] for button in buttons] != ["OK"]:
            problems.append("buttons %s, expected one OK" % [button[1] for button in buttons])
            return problems
        if program.poll() is not None:
            return problems + ["the program ended with %d before OK" % program.returncode]
        # The user clicks OK.
        subprocess.run(["xdotool", "mousemove", buttons[0][2], buttons[0][3], "click", "1"],
                       env=env, check=True)
        try:
            code = program.wait(timeout=30)
        except subprocess.TimeoutExpired:
            return problems + ["the program did not end when OK was clicked"]
        if code != exit_code:
            problems.append("exit code %d, expected %d" % (code, exit_code))
        return problems
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("setup_exe")
    parser.add_argument("probe")
    parser.add_argument("--screenshots", help="folder for a PNG of each box")
    args = parser.parse_args()
    wine = wine_program.runnable(args.setup_exe)
    screenshots = os.path.abspath(args.screenshots) if args.screenshots else None
    if screenshots:
        os.makedirs(screenshots, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="boxes.")
    prefix = os.path.join(scratch, "prefix")
    server = None
    env = wine.env(prefix)
    log = open(os.path.join(scratch, "wine.log"), "wb")
    failures = 0
    try:
        server, display = start_x_server(scratch)
        env["DISPLAY"] = display
        env["XAUTHORITY"] = os.path.join(scratch, "no-auth")
        os.makedirs(prefix)
        # One server for the whole suite, so that only the cases' programs start anew.
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        # Output to files, never pipes: Wine's own processes outlive each command.
        wine.set_up("wineboot", "-i", env=env, log=log, timeout=240)
        # No window manager runs: Wine draws the title bars itself, as Windows would.
        wine.set_up("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/t",
                    "REG_SZ", "/d", "N", "/f", env=env, log=log)
        for case in CASES:
            problems = run_case(case, wine, env, log, prefix, os.path.abspath(args.setup_exe),
                                os.path.abspath(args.probe), screenshots)
            failures += e2e_cases.report(case[0], problems, b"")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=log, stderr=log, timeout=60)
        if server is not None:
            server.terminate()
            server.wait(timeout=30)
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d passed, %d failed" % (len(CASES) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
