"""The Windows build's machine: a Wine prefix, with the recorder as the product's own setup
program."""

import os
import re
import shutil
import subprocess
import sys
import time

import wine_program  # the loader, prefix and registry view of a Windows program
from case_error import CaseError
from log_text import b2s, parse_relay, s2b
from registry_text import parse_reg
from trees import remove_tree

STARTED_SUFFIX = ".started"  # the recorder's record, next to itself


class WineMachine:
    """One fresh Wine prefix for the suite, 64-bit where Wine can make one, as the updater
    meets on a 64-bit Windows: the registry view of the shipped 32-bit updater there is the
    32-bit one, that of the 64-bit test build the 64-bit one. Between cases the runner removes
    what a case touches: its registry keys, InstallDir, the package folder and the command
    list."""

    side_files = ("setup.exe" + STARTED_SUFFIX,)

    def __init__(self, updater, recorder_path, scratch):
        self.updater = updater
        with open(recorder_path, "rb") as f:
            self.recorder = f.read() + b"\n"
        self.scratch = scratch
        self.prefix = os.path.join(scratch, "prefix")
        self.program = wine_program.runnable(updater)
        self.env = self.program.env(self.prefix)
        if self.env["WINEARCH"] != "win64":
            print("note: no 64-bit Wine; using a 32-bit prefix", file=sys.stderr)
        self.touched_keys = set()
        self.touched_paths = set()
        os.makedirs(self.prefix)
        # A server that stays between the many short Wine commands of the suite.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self.wine(["wineboot", "-i"], timeout=300)
        self.wine(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                   "/t", "REG_SZ", "/d", "user32.MessageBoxA", "/f"])
        # The recorder also answers the runner's questions about the prefix.
        self.probe = os.path.join(self.prefix, "drive_c", "probe", "probe.exe")
        os.makedirs(os.path.dirname(self.probe))
        shutil.copy(recorder_path, self.probe)
        self.wine(["C:\\probe\\probe.exe", "--where"])
        with open(self.probe + ".where", "rb") as f:
            temp_dir, windows_dir = b2s(f.read()).split("\n")[:2]
        self.temp_dir = temp_dir if temp_dir.endswith("\\") else temp_dir + "\\"
        self.windows_dir = windows_dir

    def wine(self, command, timeout=120, check=True, env=None):
        """Runs a Windows program or one of Wine's (wineboot, reg) in the prefix."""
        return self.program.set_up(*command, env=env or self.env, cwd=self.scratch,
                                   timeout=timeout, check=check)

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c",
                            *windows_path[3:].rstrip("\\").split("\\"))

    def set_code_page(self, code_page):
        """Wine runs in the C.UTF-8 locale, whose ANSI code page is 1252."""
        if code_page != "1252":
            raise CaseError("under Wine the code page is 1252")

    def set_temp_folder(self, folder):
        """The user's TMP and TEMP, as Windows keeps them: "absent" names a folder that is not
        there; any other folder is made first (its name may hold any character)."""
        if folder == "absent":
            folder = "C:\\users\\Public\\No temporary folder\\"
        else:
            os.makedirs(self.host_path(folder), exist_ok=True)
            self.touched_paths.add(self.host_path(folder.rstrip("\\").rsplit("\\", 1)[0]))
        for name in ("TMP", "TEMP"):
            self.wine(["reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ", "/d",
                       folder, "/f"], env=dict(self.env, LC_ALL="C.UTF-8"))
        self.temp_changed = True

    def reset(self, case):
        if getattr(self, "temp_changed", False):
            for name in ("TMP", "TEMP"):
                self.wine(["reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ",
                           "/d", self.temp_dir.rstrip("\\"), "/f"])
            self.temp_changed = False
        for key in sorted(self.touched_keys):
            self.wine(["reg", "delete", "HKLM\\Software\\" + key, "/f", self.program.reg_view],
                      check=False)
        for path in sorted(self.touched_paths):
            remove_tree(path)
        self.touched_keys = {case.product_key}
        self.touched_paths = {
            self.host_path(self.windows_dir + "\\" + case.product_key),
            self.host_path(case.package_dir),
            self.host_path(self.temp_dir + "CopyList.lis"),
        }

    def write_registry(self, text):
        for path in parse_reg(text):
            prefix = "hkey_local_machine\\software\\"
            if not path.startswith(prefix) or "\\" in path[len(prefix):]:
                raise CaseError("before.reg may hold only keys HKEY_LOCAL_MACHINE\\Software\\X")
        reg_file = os.path.join(self.scratch, "before.reg")
        with open(reg_file, "wb") as f:
            f.write(s2b(text.replace("\r\n", "\n").replace("\n", "\r\n")))
        # Names as the case writes them, so that reset removes them too.
        for line in text.splitlines():
            m = re.match(r"^\[HKEY_LOCAL_MACHINE\\Software\\(.*)\]\s*$", line, re.I)
            if m:
                self.touched_keys.add(m.group(1))
        self.wine(["reg", "import", reg_file, self.program.reg_view])

    def put_updater(self, path):
        shutil.copy(self.updater, path)

    def run_updater(self, package_dir):
        trace = os.path.join(self.scratch, "relay.txt")
        env = dict(self.env, WINEDEBUG="+relay")
        with open(trace, "wb") as err:
            result = subprocess.run(self.program.command(package_dir + "setup.exe"), env=env,
                                    cwd=self.scratch, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err, timeout=120)
        with open(trace, "rb") as f:
            printed = f.read()
        if wine_program.not_started(printed):  # Wine's errors are in the trace too
            raise wine_program.NotStarted("Wine could not start a process of the run")
        return result.returncode, parse_relay(b2s(printed))

    def wait_for_starts(self, install_host, count):
        """The updater does not wait for the program it starts; the recorder's record tells
        when it has run. With no start expected, a short wait gives a wrong start its time."""
        record = os.path.join(install_host, "setup.exe" + STARTED_SUFFIX)
        deadline = time.monotonic() + (15 if count else 1.0)
        while time.monotonic() < deadline:
            lines = self.read_record(record)
            if count and len(lines) >= count:
                time.sleep(0.3)  # let the recorder end before anything touches its file
                return
            if count is None and lines:
                time.sleep(0.3)
                return
            time.sleep(0.05)

    @staticmethod
    def read_record(record):
        if not os.path.exists(record):
            return []
        with open(record, "rb") as f:
            return [line for line in b2s(f.read()).split("\n") if line]

    def starts(self, install_host):
        record = os.path.join(install_host, "setup.exe" + STARTED_SUFFIX)
        return [tuple(line.split("\t", 1)) for line in self.read_record(record)]

    def read_key(self, product_key):
        """The key's values as the updater reads them, through the recorder of its width: Wine's
        own export shows a text value only up to its first NUL."""
        dump = self.probe + ".dump"
        if os.path.exists(dump):
            os.remove(dump)
        code = self.wine(["C:\\probe\\probe.exe", "--dump", product_key], check=False)
        if code == 2:
            return None
        if code != 0 or not os.path.exists(dump):
            raise RuntimeError("reading the registry key failed with %d" % code)
        with open(dump, "rb") as f:
            return parse_reg(b2s(f.read())).get(
                ("HKEY_LOCAL_MACHINE\\Software\\" + product_key).lower())

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
