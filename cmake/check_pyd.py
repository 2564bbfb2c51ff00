"""Check the Windows module: it exports only PyInit__vistrel, imports python3.dll, and
imports nothing else beyond the functions of windows_imports.txt, which the oldest
Windows the module claims exports (so it loads there and needs no mingw runtime beside it).
Usage: check_pyd.py OBJDUMP MODULE.pyd"""
import pathlib
import re
import subprocess
import sys

ALLOWED = pathlib.Path(__file__).with_name("windows_imports.txt")


def allowed_imports(path=ALLOWED):
    """{dll: {function}} from the committed list."""
    allowed, dll = {}, None
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            dll = line[1:-1].lower()
            allowed.setdefault(dll, set())
        elif dll is None:
            raise ValueError(f"{path}: {line!r} before the first [dll]")
        else:
            allowed[dll].add(line)
    return allowed


def imported_functions(dump):
    """{dll: [function]} from the import tables of `objdump -p`."""
    start = dump.find("The Import Tables")
    if start < 0:
        return {}
    section = dump[start:]
    end = re.search(r"\n(The Export Tables|PE File Base Relocations|The Function Table)", section)
    if end:
        section = section[:end.start()]
    imports, dll = {}, None
    for line in section.splitlines():
        name = re.search(r"DLL Name: (\S+)", line)
        if name:
            dll = name.group(1).lower()
            imports.setdefault(dll, [])
            continue
        # "\t75ca0\t    7  D3D11CreateDevice": address, hint, name (an ordinal import has no name).
        entry = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if entry and dll:
            imports[dll].append(entry.group(1))
    return imports


def exported_names(dump):
    # binutils 2.40 prints "[   0] Name", 2.44 "[   0] +base[   1]  0000 Name" under a titled header.
    table = re.search(r"\[Ordinal/Name Pointer\] Table[^\n]*\n(.*?)(?:\n\n|\Z)", dump, re.S)
    return re.findall(r"^\s*\[\s*\d+\].*\s(\S+)\s*$", table.group(1), re.M) if table else []


def problems_of(dump, allowed):
    problems = []
    exports = exported_names(dump)
    if exports != ["PyInit__vistrel"]:
        problems.append(f"exports {exports}, expected only PyInit__vistrel")
    imports = imported_functions(dump)
    if "python3.dll" not in imports:
        problems.append("does not import python3.dll")
    for dll, functions in sorted(imports.items()):
        if dll == "python3.dll":
            continue
        if not functions:
            problems.append(f"no function names read for {dll}: has objdump's format changed?")
        if dll not in allowed:
            problems.append(f"imports {dll}, which {ALLOWED.name} does not list")
            continue
        newer = sorted(set(functions) - allowed[dll])
        if newer:
            problems.append(f"imports from {dll} what {ALLOWED.name} does not list: {', '.join(newer)}")
    return problems


def main(objdump, module):
    dump = subprocess.run([objdump, "-p", module], check=True, capture_output=True, text=True).stdout
    problems = problems_of(dump, allowed_imports())
    if problems:
        print(f"{module}:\n  " + "\n  ".join(problems))
        return 1
    counts = ", ".join(f"{dll} ({len(f)})" for dll, f in sorted(imported_functions(dump).items()))
    print(f"{module}: exports PyInit__vistrel only; imports only listed functions: {counts}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
