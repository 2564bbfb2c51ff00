"""Check the Windows module: it exports only PyInit__vistrel and imports only python3.dll
and Windows system DLLs (so it needs no mingw runtime beside it).
Usage: check_pyd.py OBJDUMP MODULE.pyd"""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "python3.dll", "kernel32.dll", "user32.dll", "oleaut32.dll", "ole32.dll", "dxgi.dll", "d3d11.dll",
    "msvcrt.dll", "advapi32.dll", "ntdll.dll",
}


def main(objdump, module):
    dump = subprocess.run([objdump, "-p", module], check=True, capture_output=True, text=True).stdout
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
    exports = []
    # binutils 2.40 prints "[   0] Name", 2.44 "[   0] +base[   1]  0000 Name" under a titled header.
    table = re.search(r"\[Ordinal/Name Pointer\] Table[^\n]*\n(.*?)(?:\n\n|\Z)", dump, re.S)
    if table:
        exports = re.findall(r"^\s*\[\s*\d+\].*\s(\S+)\s*$", table.group(1), re.M)
    bad_imports = sorted(d for d in imports if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-"))
    problems = []
    if exports != ["PyInit__vistrel"]:
        problems.append(f"exports {exports}, expected only PyInit__vistrel")
    if bad_imports:
        problems.append(f"imports non-system DLLs {bad_imports}")
    if "python3.dll" not in imports:
        problems.append("does not import python3.dll")
    if problems:
        print(f"{module}: " + "; ".join(problems))
        return 1
    print(f"{module}: exports PyInit__vistrel only; imports {', '.join(sorted(imports))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
