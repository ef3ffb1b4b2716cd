"""The native build's machine: the emulated one, fresh for each case."""

import os
import shutil
import subprocess

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
        for folder in ("drive_c/WINDOWS", "drive_c/TEMP"):
            os.makedirs(os.path.join(self.root, folder))
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(b"REGEDIT4\r\n\r\n")

    def host_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.root, "drive_c", *windows_path[3:].rstrip("\\").split("\\"))

    def write_registry(self, text):
        with open(os.path.join(self.root, "system.reg"), "wb") as f:
            f.write(s2b(text.replace("\r\n", "\n").replace("\n", "\r\n")))

    def put_updater(self, path):
        shutil.copy(self.updater, path)

    def run_updater(self, package_dir):
        env = dict(os.environ, WIN32EMU_ROOT=self.root)
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
