"""Check a built Linux module: every symbol it leaves undefined must come from CPython or
the C/C++ runtime (anything else would only fail at import), and it must import.
Usage: check_module.py MODULE.so"""
import pathlib
import re
import subprocess
import sys

RUNTIME_VERSIONS = re.compile(r"@(GLIBC|GLIBCXX|CXXABI|GCC)_")


def main(module):
    out = subprocess.run(["nm", "-D", "--undefined-only", module], check=True, capture_output=True,
                         text=True).stdout
    stray = []
    for line in out.splitlines():
        name = line.split()[-1]
        if re.match(r"_?Py", name) or RUNTIME_VERSIONS.search(name) or name.startswith(("__gmon_start__", "_ITM_")):
            continue
        stray.append(name)
    if stray:
        print(f"{module}: undefined symbols no library provides: {', '.join(stray)}")
        return 1
    path = pathlib.Path(module).resolve()
    subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {str(path.parent)!r}); "
                    "import _vistrel\ntry:\n    _vistrel.list_outputs()\n"
                    # Without a display the X11 module answers with the reason, which is fine here.
                    "except _vistrel.CaptureError as e:\n    print('no outputs:', e)"], check=True)
    print(f"{module}: links and imports")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
