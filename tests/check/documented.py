"""The documentation against the code and against real runs, so that neither can change alone:

- every text the run can put in a box, taken from the run's own sources, stands in the players'
  guide, and each sample box of the guide is the box a real run of the bundled example shows;
- every finding and every end of package-check, taken from its sources (and every code its
  output showed the findings suite), is a row of the package-check guide's tables, with the
  severity the code gives it;
- every `console` block of the README and the guides is run, and prints what it shows.

No list of expected texts or codes is kept here: a text or code added to the code fails this
check until the documentation has it.
"""

import os
import re
import shutil
import subprocess

from log_text import b2s, unescape

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLAYERS_GUIDE = "docs/when-the-update-shows-a-box.md"
CHECK_GUIDE = "docs/package-check.md"
# The documents whose `console` blocks are run.
DOCUMENTS = ["README.md", "src/win32emu/README.md"] + sorted(
    "docs/" + name for name in os.listdir(os.path.join(SOURCE, "docs")) if name.endswith(".md"))

# Texts of the run's sources that read like a box's and are none, with what they are. Each must
# still be in the sources, so that the list cannot outlive its texts.
NOT_SHOWN_IN_BOXES = {
    "1.0 or 1.1": "the \"OldInstVer\" recorded for a record without \"Version\"",
    "Pallum 2.2": "the \"ProductVersion\" recorded for the Pallum product's record without one",
}


def read(relative):
    with open(os.path.join(SOURCE, relative), "rb") as f:
        return b2s(f.read())


# ---- texts of the code ----

C_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}


def c_text(body):
    """The text of a C string literal's body."""
    return re.sub(r"\\(x[0-9A-Fa-f]{1,2}|.)",
                  lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1).startswith("x")
                  else C_ESCAPES[m.group(1)], body)


def string_literals(source):
    """The string literals of a C++ source outside comments and #include lines, adjacent ones
    joined as the compiler joins them."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|^\s*#\s*include[^\n]*|"((?:[^"\\\n]|\\.)*)"'
                       r"|'(?:[^'\\\n]|\\.)+'|(\s+)|.", re.S | re.M)
    literals, current, joinable = [], None, False
    for match in token.finditer(source):
        if match.group(1) is not None:
            current = (current if joinable and current is not None else "") + c_text(match.group(1))
            joinable = True
            continue
        if match.group(2) is not None or match.group(0).startswith(("//", "/*")):
            continue  # blanks and comments may stand between joined literals
        if current is not None:
            literals.append(current)
        current, joinable = None, False
    if current is not None:
        literals.append(current)
    return literals


def target_sources(kind, name):
    """The sources CMakeLists.txt lists for a target, `kind` add_library or add_executable."""
    found = re.search(r"%s\(%s\b(.*?)\)" % (kind, name), read("CMakeLists.txt"), re.S)
    if not found:
        return []
    return [word for word in found.group(1).split() if word.endswith(".cpp")]


def run_box_texts():
    """Every piece of text in the sources of setup.exe that can stand in a box: each literal,
    cut at its line breaks, that holds a blank and a letter, and the names of the failure
    classes that the error box names. Returns (pieces, problems)."""
    files = target_sources("add_library", "updater") + target_sources("add_executable", "setup")
    if not files:
        return set(), ["CMakeLists.txt names no sources of the updater library or setup"]
    sources = [read(path) for path in files]
    sources += [read(path[:-len(".cpp")] + ".h") for path in files
                if os.path.exists(os.path.join(SOURCE, path[:-len(".cpp")] + ".h"))]
    literals = [text for source in sources for text in string_literals(source)]
    problems = ["%r is listed as shown in no box, and no source of the run has it" % text
                for text in NOT_SHOWN_IN_BOXES if text not in literals]
    pieces = {piece for text in literals if text not in NOT_SHOWN_IN_BOXES
              for piece in re.split(r"[\r\n]", text) if " " in piece and re.search("[A-Za-z]", piece)}
    classes = {name for source in sources for name in
               re.findall(r'ClassName\(\) const[^{]*\{\s*return "(\w+)"', source) +
               re.findall(r'ReportFailure\("(\w+)"', source)}
    if not classes:
        problems.append("no failure class names found in the run's sources")
    return pieces | classes, problems


def function_returns(source, signature):
    """The string literals returned in the body of the function of `signature`."""
    start = source.find(signature)
    if start < 0:
        return []
    body = source[start:source.find("\n}", start)]
    return [text for text in re.findall(r'return "([^"]*)";', body) if text]


def check_codes():
    """package-check's finding codes with their severities ({code: {"error", "warning"}}), and
    the names of its ends and of the content stage's outcomes, from its sources."""
    source = read("src/check/package_check.cpp")
    findings = {}
    for severity, code in re.findall(r'Add\(findings,\s*([^"]*?),\s*"([a-z0-9-]+)"', source):
        findings.setdefault(code, set()).update(
            name for kind, name in (("kError", "error"), ("kWarning", "warning")) if kind in severity)
    prediction = read("src/check/run_prediction.cpp")
    return (findings, function_returns(prediction, "const char* KindName("),
            function_returns(prediction, "const char* WhenName("))


# ---- the documents ----

def tables(text):
    """Each table of a markdown text: its header's cells, then its rows' cells."""
    found = []
    for block in re.findall(r"(?:^\|.*\|[ \t]*\n)+", text + "\n", re.M):
        rows = [[cell.strip() for cell in line.strip()[1:-1].split("|")]
                for line in block.strip().split("\n")]
        found.append((rows[0], rows[2:]))
    return found


def table_rows(text, first_header):
    """The rows of the tables whose first header cell is `first_header`, by their first cell
    without its backticks."""
    rows = {}
    for header, body in tables(text):
        if header and header[0] == first_header:
            for row in body:
                rows[row[0].strip("`")] = row
    return rows


def without_addresses(text):
    return re.sub(r"\bat [0-9A-F]{8}\.", "at {ADDR}.", text)


# ---- the checks ----

def check_box_texts(updater, scratch):
    guide = read(PLAYERS_GUIDE)
    pieces, problems = run_box_texts()
    problems += ["the run's text %r is not in %s" % (piece, PLAYERS_GUIDE)
                 for piece in sorted(pieces) if piece not in guide]
    shown = without_addresses(guide)
    for name, box in example_boxes(updater, scratch):
        caption, text = box
        sample = "Title: %s\n%s" % (caption, re.sub(r"\r\n?|\n", "\n", text))
        if without_addresses(sample) not in shown:
            problems.append("the box of a real run (%s) is not a sample of %s:\n%s"
                            % (name, PLAYERS_GUIDE, sample))
    return problems


def set_up_example(root, updater, record=None, without=()):
    """The bundled example on a fresh emulated machine at `root`, its package at
    C:\\Updates\\Pallum\\ with the updater; `record` replaces the machine's registry, and the
    paths in `without` (relative to root) are taken away. Returns the updater's path."""
    shutil.rmtree(root, ignore_errors=True)
    shutil.copytree(os.path.join(SOURCE, "examples", "pallum", "machine"), root)
    os.makedirs(os.path.join(root, "drive_c", "TEMP"), exist_ok=True)
    package = os.path.join(root, "drive_c", "Updates", "Pallum")
    shutil.copytree(os.path.join(SOURCE, "examples", "pallum", "package"), package)
    shutil.copy(updater, os.path.join(package, "setup.exe"))
    if record is not None:
        with open(os.path.join(root, "system.reg"), "w", newline="") as f:
            f.write(record)
    for path in without:
        target = os.path.join(root, path)
        if os.path.isdir(target):
            shutil.rmtree(target)
        else:
            os.remove(target)
    return os.path.join(package, "setup.exe")


def example_boxes(updater, scratch):
    """The boxes real runs of the example show: (name, (caption as the user sees it, text))."""
    key = "[HKEY_LOCAL_MACHINE\\Software\\BraskQuestsInstallerPallum]\r\n"
    runs = [
        ("nothing installed", {"record": "REGEDIT4\r\n\r\n"}),
        ("an unlisted version",
         {"record": "REGEDIT4\r\n\r\n" + key + "\"ProductVersion\"=\"Pallum 1.9\"\r\n\r\n"}),
        ("set.inf missing", {"without": ["drive_c/Updates/Pallum/set.inf"]}),
        ("the product's folder missing",
         {"without": ["drive_c/WINDOWS/BraskQuestsInstallerPallum"]}),
    ]
    boxes = []
    for name, change in runs:
        root = os.path.join(scratch, "example-machine")
        setup = set_up_example(root, updater, **change)
        subprocess.run([setup], env=dict(os.environ, WIN32EMU_ROOT=root), cwd=root,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        log = os.path.join(root, "messages.log")
        lines = read_lines(log) if os.path.exists(log) else []
        for line in lines:
            _, caption, text = line.split("\t")
            # A box given no caption is titled "Error" by Windows.
            boxes.append((name, ("Error" if caption == "(null)" else caption, unescape(text))))
        if not lines:
            boxes.append((name, ("(no box)", "")))
    return boxes


def read_lines(path):
    with open(path, "rb") as f:
        return b2s(f.read()).split("\n")[:-1]


def check_codes_table(seen_codes):
    guide = read(CHECK_GUIDE)
    findings, ends, whens = check_codes()
    problems = []
    if not findings or not ends or not whens:
        problems.append("no finding codes, ends or outcomes found in package-check's sources")
    problems += ["package-check showed the code %s, which its sources were not found to have"
                 % code for code in sorted(seen_codes - set(findings))]
    rows = table_rows(guide, "code")
    for code, severities in sorted(findings.items()):
        want = " or ".join(sorted(severities))
        if code not in rows:
            problems.append("the finding %s is no row of %s's table of codes" % (code, CHECK_GUIDE))
        elif rows[code][1] != want:
            problems.append("%s: the table says %r, the code %r" % (code, rows[code][1], want))
    problems += ["%s has a row for %s, a code package-check does not have" % (CHECK_GUIDE, code)
                 for code in sorted(set(rows) - set(findings))]
    end_rows = table_rows(guide, "end")
    problems += ["the end %s is no row of %s's table of ends" % (end, CHECK_GUIDE)
                 for end in ends if end not in end_rows]
    problems += ["%s has a row for the end %s, which package-check does not have" % (CHECK_GUIDE, end)
                 for end in sorted(set(end_rows) - set(ends))]
    problems += ["the content stage's outcome %s is not in %s" % (when, CHECK_GUIDE)
                 for when in whens if "`%s`" % when not in guide]
    return problems


def console_blocks(text):
    """The `console` blocks of a markdown text: [(command, expected output lines)]."""
    blocks = []
    for body in re.findall(r"^```console\n(.*?)^```", text, re.S | re.M):
        steps = []
        for line in body.split("\n")[:-1]:
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps:
                steps[-1][1].append(line)
        blocks.append(steps)
    return blocks


def run_console_block(steps, program, updater, folder):
    """Runs a block's commands one after the other in `folder`, on an emulated machine of its
    own, where the documents' paths of the examples and the built programs lead to the
    source's and to the programs under test; the output of each command."""
    os.makedirs(os.path.join(folder, "build", "native"))
    os.symlink(os.path.join(SOURCE, "examples"), os.path.join(folder, "examples"))
    os.symlink(program, os.path.join(folder, "build", "native", "package-check"))
    os.symlink(updater, os.path.join(folder, "build", "native", "setup.exe"))
    marker = "\x01 next command\n"
    # Each command after a marker, with the exit code of the one before it still in $?.
    script = "".join("status=$?; printf '\\001 next command\\n'; (exit $status); %s\n" % command
                     for command, _ in steps)
    done = subprocess.run(["bash", "-c", script], cwd=folder, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, WIN32EMU_ROOT=os.path.join(folder, "machine")),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return b2s(done.stdout).split(marker)[1:]


def check_console_blocks(program, updater, scratch):
    problems = []
    number = 0
    for document in DOCUMENTS:
        for steps in console_blocks(read(document)):
            number += 1
            folder = os.path.join(scratch, "console-%d" % number)
            outputs = run_console_block(steps, program, updater, folder)
            for (command, expected), got in zip(steps, outputs):
                want = "".join(line + "\n" for line in expected)
                if got != want:
                    problems.append("%s: $ %s\n  shows:\n%s  prints:\n%s"
                                    % (document, command, want, got))
            if len(outputs) != len(steps):
                problems.append("%s: a block of %d commands ran %d" % (document, len(steps),
                                                                       len(outputs)))
    if number == 0:
        problems.append("no console block found in %s" % ", ".join(DOCUMENTS))
    return problems


def check_documents(program, updater, scratch, seen_codes):
    """Every problem of the documents against the code and the programs under test."""
    return ["documents: " + problem for problem in
            check_box_texts(updater, scratch) + check_codes_table(seen_codes) +
            check_console_blocks(program, updater, scratch)]
