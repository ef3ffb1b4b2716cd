"""Folder trees as the suites plant, read, compare and remove them."""

import os
import shutil

RECORDER_TAG = b"@recorder"  # a case file starting with this stands for the recorder program
KEEP = ".keep"  # marks a folder that a case needs to exist though it holds nothing


def read_tree(root, recorder=None, skip=()):
    """{relative path with '/': bytes, or None for a folder} of everything under root.

    A file that starts with the recorder program reads as what follows it, which is what the
    case wrote; `.keep` markers and the names in `skip` are left out."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root)
        for name in dirs:
            tree[os.path.normpath(os.path.join(rel_folder, name))] = None
        for name in files:
            if name == KEEP or name in skip:
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if recorder is not None and data.startswith(recorder):
                data = data[len(recorder):]
            tree[os.path.normpath(os.path.join(rel_folder, name))] = data
    return tree


def compare_trees(expected, actual):
    problems = []
    for path in sorted(set(expected) | set(actual)):
        if path not in actual:
            problems.append("  missing: %s" % path)
        elif path not in expected:
            problems.append("  unexpected: %s" % path)
        elif expected[path] != actual[path]:
            if expected[path] is None or actual[path] is None:
                problems.append("  %s: folder and file differ" % path)
            else:
                problems.append("  %s: expected %r, got %r"
                                % (path, expected[path][:200], actual[path][:200]))
    return problems


def copy_case_tree(source, destination, recorder):
    """Copies a case's tree onto the machine; recorder stand-ins become the recorder program
    with their text appended (an executable ignores bytes after its image)."""
    for folder, dirs, files in os.walk(source):
        rel = os.path.relpath(folder, source)
        target_folder = os.path.normpath(os.path.join(destination, rel))
        os.makedirs(target_folder, exist_ok=True)
        for name in files:
            if name == KEEP:
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if recorder is not None and data.startswith(RECORDER_TAG):
                data = recorder + data
            with open(os.path.join(target_folder, name), "wb") as f:
                f.write(data)


def remove_tree(path):
    def writable_again(function, failed_path, _):
        os.chmod(os.path.dirname(failed_path), 0o777)
        os.chmod(failed_path, 0o777)
        function(failed_path)

    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, onerror=writable_again)
    elif os.path.lexists(path):
        os.remove(path)
