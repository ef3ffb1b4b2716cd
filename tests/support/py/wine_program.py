#!/usr/bin/env python3
"""How Wine runs one of the project's Windows programs, read from the program's own PE header:
the loader that starts it, the prefix it needs, the registry view it reads; and whether this
machine can run it at all.

    wine_program.py shell PROGRAM.exe

prints the same as shell assignments for the bash tools (wine_loader, wine_arch, wine_regedit,
wine_reg_view), or, where the machine cannot run the program, says why on standard error and
exits with SKIP.

The shipped updater is a 32-bit program: on a 64-bit Windows it reads HKLM\\Software through
the 32-bit view, which the 64-bit view shows under Software\\Wow6432Node. The 64-bit test build
of the same sources reads the 64-bit view itself. Whatever a suite puts into the registry, or
expects there, follows the program, so that one suite checks either build.
"""

import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

# The exit code of a suite that cannot run here: ctest's SKIP_RETURN_CODE of the Wine suites.
SKIP = 77

# Now and then Wine cannot start a process at all: the new process finds the address of its
# first shared page taken and ends before its program's first instruction, and the process
# that started it fails. What then went wrong is Wine's, never the updater's: the suites run
# such a command, case or round again.
START_FAILURE = b"failed to map the shared user data"
START_TRIES = 3


class NotStarted(RuntimeError):
    """Wine could not start a process of a run."""


def telling_start_failures(env):
    """`env` with Wine's errors about memory on, which tell a start that failed; Wine's
    processes pass them on to those they start, on the same standard error."""
    return dict(env, WINEDEBUG=env.get("WINEDEBUG", "-all") + ",err+virtual")


def not_started(printed):
    """True when what Wine printed under telling_start_failures, or in a trace that keeps its
    errors, says that one of its processes could not be started."""
    return START_FAILURE in printed


def started_again(run):
    """What run() returns, run again where it raises NotStarted, up to START_TRIES times."""
    for tries_left in range(START_TRIES - 1, -1, -1):
        try:
            return run()
        except NotStarted as error:
            if not tries_left:
                raise
            print("note: %s; run again" % error, file=sys.stderr)


I386 = 0x014C
AMD64 = 0x8664
WINE64_LOADER = "/usr/lib/wine/wine64"


def pe_machine(path):
    """The machine field of a PE file's header."""
    with open(path, "rb") as f:
        if f.read(2) != b"MZ":
            raise ValueError("%s is not a Windows program" % path)
        f.seek(0x3C)
        (header,) = struct.unpack("<I", f.read(4))
        f.seek(header)
        signature = f.read(6)
    if len(signature) != 6 or signature[:4] != b"PE\0\0":
        raise ValueError("%s has no PE header" % path)
    return struct.unpack("<H", signature[4:])[0]


def wine64_loader():
    """Wine's 64-bit loader, or None. Plain `wine` starts the 32-bit loader first, which fails
    where the kernel runs no 32-bit programs."""
    found = shutil.which("wine64")
    if found:
        return found
    return WINE64_LOADER if os.access(WINE64_LOADER, os.X_OK) else None


class WineProgram:
    """Wine as it runs one program: command() starts Wine's programs (the program itself,
    wineboot, reg, winepath) with the loader of the program's width, env() a prefix of the
    kind it needs."""

    def __init__(self, program):
        machine = pe_machine(program)
        if machine not in (I386, AMD64):
            raise ValueError("%s: machine 0x%04X, neither i386 nor x86-64" % (program, machine))
        self.bits = 64 if machine == AMD64 else 32
        loader64 = wine64_loader()
        # A 64-bit prefix where Wine can make one, as on a 64-bit Windows.
        self.arch = "win64" if loader64 else "win32"
        self.loader = loader64 if self.bits == 64 and loader64 else "wine"
        self.reg_view = "/reg:%d" % self.bits
        wow64 = self.bits == 32 and self.arch == "win64"
        # The registry editor of the program's own view.
        self.regedit = "C:\\windows\\syswow64\\regedit.exe" if wow64 else "regedit"
        # Where the program's HKLM\Software\X shows in the 64-bit view, as a user exports it.
        self.software = "Software\\Wow6432Node\\" if wow64 else "Software\\"

    def command(self, *args):
        return [self.loader, *args]

    def set_up(self, *args, env, cwd=None, timeout=120, check=True, log=None):
        """Runs one of the suites' own commands in a prefix (wineboot, reg, a probe) to its
        end and returns its exit code; with `check`, any other code than 0 fails with what the
        command printed. A command that Wine could not start (not_started) has done nothing,
        and is run again. What it prints goes to a file, or to `log`, never to a pipe, which
        the prefix's services would keep open."""
        command = self.command(*args)
        env = telling_start_failures(env)

        def run():
            with tempfile.TemporaryFile() as output:
                code = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                      stdout=output, stderr=subprocess.STDOUT,
                                      timeout=timeout).returncode
                output.seek(0)
                printed = output.read()
            if log is not None:
                log.write(printed)
            if not_started(printed):
                raise NotStarted("Wine could not start %s" % " ".join(args))
            return code, printed

        code, printed = started_again(run)
        if check and code != 0:
            raise RuntimeError("%s failed with %d:\n%s" % (
                " ".join(command), code, printed[-4000:].decode("utf-8", "replace")))
        return code

    def env(self, prefix, base=None):
        # The C.UTF-8 locale gives Wine code page 1252 and UTF-8 host names, as the emulated
        # machine has them by default.
        env = dict(os.environ if base is None else base, WINEPREFIX=prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=self.arch, LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)  # with no display a message box returns at once
        if self.loader != "wine":
            env["WINELOADER"] = self.loader  # the loader that Wine starts new processes with
        return env

    def cannot_run(self):
        """Why this machine cannot run the program under Wine, or None. Only the 32-bit
        program can be out of reach: its loader is a 32-bit Linux program, which a kernel
        without IA-32 emulation refuses to execute, and which a machine without Wine's i386
        packages lacks."""
        if self.bits == 64 or shutil.which("wine") is None:
            return None
        try:
            done = subprocess.run(["wine", "--version"], env=dict(os.environ, LC_ALL="C"),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        except OSError as error:
            said = str(error)
        else:
            said = (done.stdout + done.stderr).decode("latin-1").strip()
            if "wine32 is missing" in said:
                # Debian's wine falls back on its 64-bit loader, which runs no 32-bit program.
                return ("Wine's 32-bit half is not installed (wine --version: %s); the 64-bit "
                        "build of the same sources, preset windows64, runs under Wine here"
                        % said.replace("\n", " "))
            if done.returncode == 0:
                return None
        if "Exec format error" not in said:
            return None  # some other fault: the suite runs and shows it
        return ("this machine cannot execute 32-bit programs (wine --version: %s); "
                "the 64-bit build of the same sources, preset windows64, runs under Wine "
                "here" % said)


def runnable(program):
    """The program's Wine, or the process ends with SKIP where the machine cannot run it."""
    wine = WineProgram(program)
    reason = wine.cannot_run()
    if reason:
        print("skipped: " + reason, flush=True)
        sys.exit(SKIP)
    return wine


def main(argv):
    if len(argv) != 3 or argv[1] != "shell":
        sys.exit("usage: wine_program.py shell PROGRAM.exe")
    wine = WineProgram(argv[2])
    reason = wine.cannot_run()
    if reason:
        print("skipped: " + reason, file=sys.stderr)
        return SKIP
    for name, value in (("wine_loader", wine.loader), ("wine_arch", wine.arch),
                        ("wine_regedit", wine.regedit), ("wine_reg_view", wine.reg_view)):
        print("%s=%s" % (name, shlex.quote(value)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
