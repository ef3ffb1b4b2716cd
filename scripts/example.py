#!/usr/bin/env python3
"""Runs the native updater on a bundled example, on a fresh emulated machine, and shows what
each run did: the exit code, the message boxes, the product's registry record before and
after, the files added, replaced and saved into OldExe\\, the copy list, and the program
started.

    example.py SETUP_EXE EXAMPLE_DIR [--once] [--keep]

EXAMPLE_DIR holds machine/ (system.reg and drive_c/ of the machine before the update) and
package/ (the update package, without its setup.exe: the built updater is copied in).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

PACKAGE_FOLDER = ("Updates", "Pallum")  # C:\Updates\Pallum\
LOG_ESCAPES = {"\\": "\\", "r": "\r", "n": "\n", "t": "\t"}
SHOW_STATES = {0: "SW_HIDE", 1: "SW_SHOWNORMAL", 3: "SW_SHOWMAXIMIZED", 5: "SW_SHOW",
               7: "SW_SHOWMINNOACTIVE", 10: "SW_SHOWDEFAULT"}


def unescape(text):
    return re.sub(r"\\(x[0-9A-Fa-f]{2}|.)",
                  lambda m: (chr(int(m.group(1)[1:], 16)) if m.group(1).startswith("x")
                             else LOG_ESCAPES.get(m.group(1), m.group(0))), text)


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def log_lines(path):
    return [line for line in read_text(path).split("\n") if line]


def product_key(package):
    lines = read_text(os.path.join(package, "options.inf")).splitlines()
    return lines[1] if len(lines) > 1 else ""


def registry_record(root, key):
    """The product's key and its subkeys, as system.reg has them: (header, lines) pairs."""
    wanted = ("hkey_local_machine\\software\\" + key).lower()
    sections = []
    current = None
    for line in read_text(os.path.join(root, "system.reg")).splitlines():
        if line.startswith("["):
            name = line.strip()[1:-1]
            lowered = name.lower()
            if lowered == wanted or lowered.startswith(wanted + "\\"):
                current = (name, [])
                sections.append(current)
            else:
                current = None
        elif current is not None and line.strip() and not line.startswith(";"):
            current[1].append(line)
    return sections


def windows_path(root, host_path):
    rel = os.path.relpath(host_path, os.path.join(root, "drive_c"))
    return "C:\\" + rel.replace("/", "\\")


def snapshot(root):
    """Every file of drive C: Windows path -> (its bytes, its inode and change time)."""
    files = {}
    drive = os.path.join(root, "drive_c")
    for folder, _, names in os.walk(drive):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                info = os.fstat(f.fileno())
                files[windows_path(root, path)] = (f.read(), (info.st_ino, info.st_ctime_ns))
    return files


def gist(data, other=None):
    """A file's first line, or its first line that differs from `other`, to tell the
    stand-ins' versions apart at a glance."""
    lines = data.decode("latin-1").splitlines()
    other_lines = other.decode("latin-1").splitlines() if other is not None else []
    shown = ""
    for number, line in enumerate(lines):
        if number >= len(other_lines) or line != other_lines[number]:
            shown = line if number == 0 else "line %d: %s" % (number + 1, line)
            break
    if len(shown) > 64:
        shown = shown[:61] + "..."
    return "%d bytes: %s" % (len(data), shown) if shown else "%d bytes" % len(data)


def show_box(line):
    fields = line.split("\t")
    if len(fields) != 3:
        print("    (unreadable record: %r)" % line)
        return
    caption = "(null caption)" if fields[1] == "(null)" else '"%s"' % fields[1]
    print("    box, type %s, caption %s:" % (fields[0], caption))
    for text_line in re.split(r"\r\n|\r|\n", unescape(fields[2])):
        print("      | " + text_line)


def show_record(title, sections, others=None):
    print("  %s:" % title)
    if not sections:
        print("    (no key)")
        return
    earlier = {name.lower(): set(lines) for name, lines in (others or [])}
    for name, lines in sections:
        print("    [%s]" % name)
        for line in lines:
            mark = " "
            if others is not None:
                mark = "+" if line not in earlier.get(name.lower(), set()) else " "
            print("   %s  %s" % (mark, line))
        if not lines:
            print("       (no values)")


def run_once(number, root, setup_exe, key, install_dir):
    package = os.path.join(root, "drive_c", *PACKAGE_FOLDER)
    program = windows_path(root, os.path.join(package, "setup.exe"))
    messages = os.path.join(root, "messages.log")
    exec_log = os.path.join(root, "exec.log")

    before_files = snapshot(root)
    before_record = registry_record(root, key)
    seen_boxes = len(log_lines(messages))
    seen_starts = len(log_lines(exec_log))

    print()
    print("=" * 78)
    print("Run %d: %s, started from its own folder" % (number, program))
    print("=" * 78)
    done = subprocess.run([os.path.join(package, "setup.exe")], cwd=package,
                          stdin=subprocess.DEVNULL, timeout=120)
    print("Exit code: %d%s" % (done.returncode, "  (failure)" if done.returncode else ""))

    boxes = log_lines(messages)[seen_boxes:]
    print("Message boxes: %s" % (len(boxes) if boxes else "none"))
    for line in boxes:
        show_box(line)

    print("Registry, the product's record (HKEY_LOCAL_MACHINE\\Software\\%s):" % key)
    after_record = registry_record(root, key)
    if after_record == before_record:
        show_record("unchanged", after_record)
    else:
        show_record("before", before_record)
        show_record("after (+ new or changed)", after_record, before_record)

    after_files = snapshot(root)
    saved_prefix = install_dir + "OldExe\\"
    groups = {"added": [], "replaced": [], "saved into OldExe\\": [], "removed": []}
    for path in sorted(set(before_files) | set(after_files)):
        old, new = before_files.get(path), after_files.get(path)
        if old == new or path.upper().endswith("\\COPYLIST.LIS"):
            continue
        if new is None:
            groups["removed"].append("%s  (was %s)" % (path, gist(old[0])))
            continue
        if old is None:
            change = gist(new[0])
        elif old[0] == new[0]:
            change = "written anew, same %s" % gist(new[0])
        else:
            change = "was %s\n        now %s" % (gist(old[0], new[0]), gist(new[0], old[0]))
        group = ("saved into OldExe\\" if path.startswith(saved_prefix)
                 else "added" if old is None else "replaced")
        groups[group].append("%s\n        %s" % (path, change))
    print("Files on drive C:%s" % ("" if any(groups.values()) else " unchanged"))
    for title, entries in groups.items():
        if entries:
            print("  %s (%d):" % (title, len(entries)))
            for entry in entries:
                print("    " + entry)

    list_path = "C:\\TEMP\\CopyList.lis"
    list_now = after_files.get(list_path)
    if list_now is None:
        print("Copy list %s: none" % list_path)
    elif list_now == before_files.get(list_path):
        print("Copy list %s: not written in this run" % list_path)
    else:
        # Three lines a record: keyword, source, destination; then "end".
        print("Copy list %s, a record per three lines:" % list_path)
        lines = list_now[0].decode("latin-1").splitlines()
        at = 0
        while at < len(lines):
            if lines[at] in ("MD", "Copy") and at + 2 < len(lines):
                print("    %-5s %s\n          -> %s" % (lines[at], lines[at + 1], lines[at + 2]))
                at += 3
            else:
                print("    " + lines[at])
                at += 1

    starts = log_lines(exec_log)[seen_starts:]
    print("Programs started: %s" % (len(starts) if starts else "none"))
    for line in starts:
        show, _, command = line.partition("\t")
        state = SHOW_STATES.get(int(show), "") if show.isdigit() else ""
        print("    %s  (show state %s%s)" % (unescape(command), show,
                                              " = " + state if state else ""))
    print("In short: exit code %d, %d message box(es), %d file(s) added, %d replaced, %d saved "
          "into OldExe\\, %s, %d program(s) started" %
          (done.returncode, len(boxes), len(groups["added"]), len(groups["replaced"]),
           len(groups["saved into OldExe\\"]),
           "content copied" if list_now is not None and list_now != before_files.get(list_path)
           else "no content copied", len(starts)))
    return done.returncode


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    flags = {a for a in argv[1:] if a.startswith("--")}
    if len(args) != 2 or flags - {"--once", "--keep"}:
        sys.exit(__doc__)
    setup_exe, example = (os.path.abspath(a) for a in args)

    scratch = tempfile.mkdtemp(prefix="updater-example.")
    root = os.path.join(scratch, "machine")
    os.environ["WIN32EMU_ROOT"] = root
    shutil.copytree(os.path.join(example, "machine"), root)
    for folder in ("WINDOWS", "TEMP"):
        os.makedirs(os.path.join(root, "drive_c", folder), exist_ok=True)
    package = os.path.join(root, "drive_c", *PACKAGE_FOLDER)
    shutil.copytree(os.path.join(example, "package"), package)
    shutil.copyfile(setup_exe, os.path.join(package, "setup.exe"))
    os.chmod(os.path.join(package, "setup.exe"), 0o755)

    key = product_key(package)
    install_dir = "C:\\WINDOWS\\%s\\" % key
    print("The emulated machine: %s" % root)
    print("  the product %s is installed in %s" % (key, install_dir))
    print("  the update package is C:\\%s\\ (the built updater copied in as setup.exe)" %
          "\\".join(PACKAGE_FOLDER))
    try:
        codes = [run_once(1, root, setup_exe, key, install_dir)]
        if "--once" not in flags:
            codes.append(run_once(2, root, setup_exe, key, install_dir))
    finally:
        if "--keep" in flags:
            print("\nThe machine is kept for a look around: %s" % root)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0 if all(code == 0 for code in codes) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
