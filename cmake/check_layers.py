"""Fail when a file includes a layer above its own. Layers, lowest first: platform/,
duplication/, src/. A platform provider may include only platform/. The pixel code of
src/convert/ is pure: nothing of Python, so the fuzz targets and benchmarks take it alone.
Usage: check_layers.py SOURCE_ROOT"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+["<]([^">]+)[">]', re.MULTILINE)
# What a file in each folder must not include.
FORBIDDEN = {
    "platform": ("duplication/", "src/", "tests/"),
    "duplication": ("src/", "tests/"),
    "src/convert": ("src/py/", "src/capture/", "src/gpu/", "src/pacing/", "src/errors.h", "tests/", "Python.h"),
}


def violations(root):
    for folder, forbidden in FORBIDDEN.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target.startswith(forbidden):
                    yield f"{path.relative_to(root)}: includes {target}, a layer above {folder}/"


def main(root):
    found = list(violations(pathlib.Path(root)))
    for line in found:
        print(line, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
