"""Generate the python3.dll import library for the Windows module.

The undefined CPython symbols of the module's objects (nm -u) become a .def file for
python3.dll; names the headers declare with PyAPI_DATA are marked DATA. dlltool then
makes the import library. Usage:
  python3_implib.py NM DLLTOOL PYTHON_INCLUDE OUT_DEF OUT_LIB OBJECT...
"""
import pathlib
import re
import subprocess
import sys


def data_names(include_dir):
    names = set()
    pattern = re.compile(r"PyAPI_DATA\s*\([^;]*?\)\s*\(?\s*\*?\s*(\w+)")
    for header in pathlib.Path(include_dir).rglob("*.h"):
        names.update(pattern.findall(header.read_text(errors="replace")))
    return names


def undefined_python_symbols(nm, objects):
    out = subprocess.run([nm, "-u", *objects], check=True, capture_output=True, text=True).stdout
    symbols = set()
    for line in out.splitlines():
        parts = line.split()
        if not parts:
            continue
        name = parts[-1]
        if name.startswith("__imp_"):
            name = name[len("__imp_"):]
        if re.match(r"_?Py", name):
            symbols.add(name)
    return symbols


def main(nm, dlltool, include_dir, out_def, out_lib, *objects):
    data = data_names(include_dir)
    symbols = sorted(undefined_python_symbols(nm, objects))
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    lines += [f"    {name} DATA" if name in data else f"    {name}" for name in symbols]
    pathlib.Path(out_def).write_text("\n".join(lines) + "\n")
    subprocess.run([dlltool, "-d", out_def, "-D", "python3.dll", "-l", out_lib], check=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
