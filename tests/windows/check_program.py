#!/usr/bin/env python3
"""Checks of the built Windows program as Windows reads it, through pefile.

    check_program.py SETUP_EXE VERSION

The header (GUI subsystem, i686, the hardening flags, no symbol table, no time stamp), the
DLLs it imports, the manifest that Windows reads before starting it, and the version
information that Explorer shows.
"""

import sys
import xml.dom.minidom

import pefile

# The DLLs a plain Windows installation has, and all the program may need.
ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll"}
REQUIRED_DLL_CHARACTERISTICS = {
    "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE": 0x0040,
    "IMAGE_DLLCHARACTERISTICS_NX_COMPAT": 0x0100,
    "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE": 0x8000,
}
SUPPORTED_OS_IDS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
COMMON_CONTROLS = {
    "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
    "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*",
}
RT_MANIFEST = 24
RT_VERSION = 16


def resources(pe, type_id):
    """(id, data) of every resource of one type, all languages."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                at = language.data.struct.OffsetToData
                found.append((entry.id, pe.get_data(at, language.data.struct.Size)))
    return found


def check_header(pe):
    problems = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append("machine 0x%04X, not i386" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        problems.append("subsystem %d, not the GUI subsystem" % pe.OPTIONAL_HEADER.Subsystem)
    for name, bit in REQUIRED_DLL_CHARACTERISTICS.items():
        if not pe.OPTIONAL_HEADER.DllCharacteristics & bit:
            problems.append("DllCharacteristics 0x%04X lacks %s"
                            % (pe.OPTIONAL_HEADER.DllCharacteristics, name))
    # A relocatable image needs its relocations.
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0:
        problems.append("no base relocations, so the image cannot move")
    if pe.FILE_HEADER.PointerToSymbolTable != 0 or pe.FILE_HEADER.NumberOfSymbols != 0:
        problems.append("a symbol table of %d symbols: not stripped"
                        % pe.FILE_HEADER.NumberOfSymbols)
    if pe.FILE_HEADER.TimeDateStamp != 0:
        problems.append("time stamp %d in the header: builds differ" % pe.FILE_HEADER.TimeDateStamp)
    return problems


def check_imports(pe):
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    dlls = {entry.dll.decode("ascii").lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    problems = []
    if dlls - ALLOWED_DLLS:
        problems.append("imports from %s beyond %s" % (sorted(dlls - ALLOWED_DLLS),
                                                       sorted(ALLOWED_DLLS)))
    if "kernel32.dll" not in dlls or "user32.dll" not in dlls:
        problems.append("imports %s: kernel32 and user32 missing" % sorted(dlls))
    return problems


def element_text(element):
    return "".join(node.data for node in element.childNodes if node.nodeType == node.TEXT_NODE)


def check_manifest(pe):
    manifests = resources(pe, RT_MANIFEST)
    if [resource_id for resource_id, _ in manifests] != [1]:
        return ["manifest resources with ids %s; Windows reads one, id 1"
                % [resource_id for resource_id, _ in manifests]]
    try:
        document = xml.dom.minidom.parseString(manifests[0][1])
    except Exception as error:  # any parse error: Windows would refuse to start the program
        return ["the manifest is not well-formed XML: %s" % error]
    problems = []
    levels = [(e.getAttribute("level"), e.getAttribute("uiAccess"))
              for e in document.getElementsByTagName("requestedExecutionLevel")]
    if levels != [("requireAdministrator", "false")]:
        problems.append("requested execution levels %s, expected requireAdministrator" % levels)
    ids = [e.getAttribute("Id") for e in document.getElementsByTagName("supportedOS")]
    if sorted(ids) != sorted(SUPPORTED_OS_IDS):
        problems.append("supported OS ids %s, expected %s" % (ids, sorted(SUPPORTED_OS_IDS)))
    dependencies = [{name: e.getAttribute(name) for name in COMMON_CONTROLS}
                    for dependent in document.getElementsByTagName("dependentAssembly")
                    for e in dependent.getElementsByTagName("assemblyIdentity")]
    if dependencies != [COMMON_CONTROLS]:
        problems.append("dependencies %s, expected Common Controls 6" % dependencies)
    dpi = [element_text(e).strip() for e in document.getElementsByTagName("dpiAware")]
    if dpi != ["true"]:
        problems.append("dpiAware %s, expected true" % dpi)
    for changes_the_run in ("activeCodePage", "longPathAware"):
        if document.getElementsByTagName(changes_the_run):
            problems.append("the manifest sets %s" % changes_the_run)
    return problems


def check_version(pe, version):
    if [resource_id for resource_id, _ in resources(pe, RT_VERSION)] != [1]:
        return ["no version resource of id 1"]
    strings = {}
    translations = []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings[table.LangID.decode("ascii").upper()] = {
                key.decode("ascii"): value.decode("latin-1")
                for key, value in table.entries.items()}
        for var in getattr(info, "Var", []):
            translations.append(var.entry.get(b"Translation"))
    problems = []
    if list(strings) != ["040904E4"] or translations != ["0x0409 0x04e4"]:
        problems.append("string tables %s, translations %s: expected US English, 1252"
                        % (list(strings), translations))
    table = strings.get("040904E4", {})
    for key in ("FileVersion", "ProductVersion"):
        if table.get(key) != version:
            problems.append("%s %r, expected %r" % (key, table.get(key), version))
    if table.get("OriginalFilename") != "setup.exe":
        problems.append("OriginalFilename %r, expected 'setup.exe'" % table.get("OriginalFilename"))
    for key in ("FileDescription", "ProductName", "InternalName", "LegalCopyright"):
        if not table.get(key):
            problems.append("no %s" % key)
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [int(n) for n in version.split(".")] + [0] * (4 - len(version.split(".")))
    expected_ms, expected_ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
    for name in ("FileVersion", "ProductVersion"):
        got = (getattr(fixed, name + "MS"), getattr(fixed, name + "LS"))
        if got != (expected_ms, expected_ls):
            problems.append("fixed %s 0x%08X.0x%08X, expected %s" % (name, got[0], got[1], version))
    return problems


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: check_program.py SETUP_EXE VERSION")
    pe = pefile.PE(argv[1], fast_load=False)
    checks = [("header", check_header), ("imports", check_imports),
              ("manifest", check_manifest), ("version", lambda pe: check_version(pe, argv[2]))]
    failures = 0
    for name, check in checks:
        problems = check(pe)
        print("%s  %s" % ("ok  " if not problems else "FAIL", name))
        for problem in problems:
            print("      " + problem)
        failures += 1 if problems else 0
    print("%d passed, %d failed" % (len(checks) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
