"""The native build's machine: the emulated one, fresh for each case."""

import os
import shutil
import subprocess

from case_error import CaseError
from log_text import b2s, s2b, unescape
from registry_text import parse_reg
from trees import remove_tree


class NativeMachine:
    """A fresh emulated machine per case: WIN32EMU_ROOT, with C: at <root>/drive_c."""

    windows_dir = "C:\\WINDOWS"
    temp_dir = "C:\\TEMP\\"
    recorder = None
    side_files = ()

    def __init__(self, updater, scratch):
        self.updater = updater
        self.scratch = scratch
        self.root = None

    def reset(self, case):
        if self.root is not None:
            remove_tree(self.root)
        self.root = os.path.join(self.scratch, "machine-" + case.name)
        self._seen_messages_log = 0
        self._seen_exec_log = 0
        self.fault = None
        for folder in ("drive_c/WINDOWS", "drive_c/TEMP"):
            os.makedirs(os.path.join(self.root, folder))
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(b"REGEDIT4\r\n\r\n")

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.root, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def set_temp_folder(self, folder):
        """The emulated temporary folder is C:\\TEMP\\: "absent" takes it away."""
        if folder != "absent":
            raise CaseError("natively the temporary folder can only be absent")
        remove_tree(self.host_path(self.temp_dir))

    def set_code_page(self, code_page):
        """The machine's ANSI code page, 1252 unless set."""
        with open(os.path.join(self.root, "codepage"), "w") as f:
            f.write(code_page + "\n")

    def plant_fault(self, package_dir, call, subject, code, nth=1):
        """Fails the `nth` `call` on `subject` of the next run with `code`: a traced run on a
        copy of the machine finds its number."""
        probe = self.root + "-probe"
        subprocess.run(["cp", "-a", self.root, probe], check=True)
        trace = probe + ".trace"
        env = dict(os.environ, WIN32EMU_ROOT=probe, WIN32EMU_TRACE=trace)
        program = os.path.join(probe, os.path.relpath(
            os.path.join(self.host_path(package_dir), "setup.exe"), self.root))
        subprocess.run([program], env=env, cwd=probe, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        with open(trace, "rb") as f:
            lines = b2s(f.read()).split("\n")[:-1]
        remove_tree(probe)
        os.remove(trace)
        for line in lines:
            number, traced_call, traced_subject = line.split("\t")[:3]
            if traced_call == call and unescape(traced_subject) == subject:
                nth -= 1
                if nth == 0:
                    self.fault = "%s:%d" % (number, code)
                    return
        raise CaseError("no call %s %s in the run" % (call, subject))

    def write_registry(self, text):
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(s2b(text.replace("\r\n", "\n").replace("\n", "\r\n")))

    def put_updater(self, path):
        shutil.copy(self.updater, path)

    def run_updater(self, package_dir):
        env = dict(os.environ, WIN32EMU_ROOT=self.root)
        if getattr(self, "fault", None):
            env["WIN32EMU_FAULT"] = self.fault
            self.fault = None
        program = os.path.join(self.host_path(package_dir), "setup.exe")
        result = subprocess.run([program], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=60)
        return result.returncode, self.read_log("messages.log", self.consume_box)

    def read_log(self, name, parse):
        path = os.path.join(self.root, name)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            lines = b2s(f.read()).split("\n")
        done = getattr(self, "_seen_" + name.replace(".", "_"), 0)
        setattr(self, "_seen_" + name.replace(".", "_"), len(lines) - 1)
        return [parse(line) for line in lines[done:-1]]

    @staticmethod
    def consume_box(line):
        kind, caption, text = line.split("\t", 2)
        return int(kind, 16), None if caption == "(null)" else caption, unescape(text)

    @staticmethod
    def consume_start(line):
        show, command = line.split("\t", 1)
        return show, unescape(command)

    def wait_for_starts(self, install_host, count):
        pass  # the start is logged before CreateProcessA returns

    def starts(self, install_host):
        self._seen_exec_log = 0
        return self.read_log("exec.log", self.consume_start)

    def read_key(self, product_key):
        with open(os.path.join(self.root, "system.reg"), "rb") as f:
            keys = parse_reg(b2s(f.read()))
        return keys.get(("HKEY_LOCAL_MACHINE\\Software\\" + product_key).lower())

    def close(self):
        if self.root is not None:
            remove_tree(self.root)
