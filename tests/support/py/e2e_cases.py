"""The whole-run tests' cases: the files of each one's package and what its run must show;
making a package folder, and reporting a case's outcome."""

import os
import re
import shutil

PRODUCT_KEY = "BraskQuestsInstallerPallum"

# options.inf: the product's installer owns the first 14 lines; line 2 is the product key.
OPTIONS_INF = "".join(
    line + "\r\n"
    for line in ["Brask Quests Installer", PRODUCT_KEY] + ["option %d" % n for n in range(3, 15)]
)
# set.inf: content folder, an unused line, the versions this package updates, "[end]".
SET_INF = "Quests\r\nunused\r\nPallum 2.0\r\nPallum 2.1\r\nPallum 2.2\r\n[end]\r\n"

IO_ERROR_CAPTION = "Application Error"
IO_ERROR_TYPE = 0x2010  # MB_OK | MB_ICONSTOP | MB_TASKMODAL
IO_ERROR_TEXT = re.compile(
    r"Exception EInOutError in module setup\.exe at [0-9A-F]{8}\.\nFile not found\.")


class Box:
    def __init__(self, box_type, caption, text):
        self.type = box_type
        self.caption = caption  # None for a null caption
        self.text = text

    def __repr__(self):
        return "box(type=0x%04X, caption=%r, text=%r)" % (self.type, self.caption, self.text)


# Each case: the package's files, then what the run must show.
CASES = {
    # The content folder's name is read after the product key: the first file that is
    # missing ends the run with one I/O error box.
    "missing_set_inf": {"files": {"options.inf": OPTIONS_INF}, "exit": 1, "box": "io_error"},
    "missing_options_inf": {"files": {"set.inf": SET_INF}, "exit": 1, "box": "io_error"},
    # A complete package on a machine where the product has no record: a refusal naming the
    # last listed version, and a normal end.
    "nothing_installed": {
        "files": {"options.inf": OPTIONS_INF, "set.inf": SET_INF, "uninstall.inf": "[files]\r\n"},
        "exit": 0,
        "box": Box(0x0000, None,
                   "This updater can update only Pallum 2.2 version!\rBut nothing is installed!"),
    },
}


def make_package(folder, setup_exe, files):
    os.makedirs(folder)
    shutil.copyfile(setup_exe, os.path.join(folder, "setup.exe"))
    os.chmod(os.path.join(folder, "setup.exe"), 0o755)
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="latin-1", newline="") as out:
            out.write(text)


def report(name, problems, output):
    if not problems:
        print("ok    %s" % name)
        return 0
    print("FAIL  %s" % name)
    for problem in problems:
        print("      " + problem)
    if output:
        print("      program output:\n" + output.decode("latin-1", "replace"))
    return 1
