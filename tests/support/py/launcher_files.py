"""The product's launcher files as the code names them, read from the build's lister
(tests/tools/list_launcher_files), so that no suite keeps a copy of the list that a new name
could pass by."""

import subprocess


def read_launcher_files(lister, wine=None, env=None):
    """The launcher files' names, in the order in which the run replaces them. The Windows
    build's lister runs under Wine: `wine` is the WineProgram of the build under test
    (wine_program.py), `env` its prefix's environment."""
    command = [lister] if wine is None else wine.command(lister)
    listed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=300, check=True).stdout
    # The Windows build writes its lines with CR LF.
    names = [line.strip() for line in listed.decode("ascii").splitlines() if line.strip()]
    if not names or len(set(names)) != len(names):
        raise ValueError("%s lists the launcher files %r" % (lister, names))
    return names
