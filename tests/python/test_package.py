"""The package around the extension: names, version, module paths, typing files, the
long description."""
import importlib.util
import pathlib
import pydoc
import re
import subprocess
import sys

import vistrel
from vistrel import _vistrel


def test_names_and_version():
    assert vistrel.__all__ == _vistrel.__all__ + ["screenshot"]
    for name in _vistrel.__all__[1:]:
        assert getattr(vistrel, name) is getattr(_vistrel, name)
    assert vistrel.__version__ == _vistrel.__version__ == "0.1.2"
    # dir() and tab completion show the API and the package's own submodules, nothing the
    # package itself imported to write it.
    shown = {n for n in dir(vistrel) if not n.startswith("_")}
    own_modules = {n for n in shown if getattr(getattr(vistrel, n), "__name__", "").startswith("vistrel.")}
    assert shown - own_modules == set(vistrel.__all__) - {"__version__"}


def test_module_paths_resolve():
    # The classes name a module that exists, so pydoc and pickling find them.
    for name in ("Capturer", "FramesIter", "GpuTexture"):
        cls = getattr(vistrel, name)
        assert pydoc.locate(f"{cls.__module__}.{cls.__qualname__}") is cls
    assert _vistrel.__name__ == "vistrel._vistrel"
    # The functions and exceptions keep the extension's own name in either import path.
    assert {f.__module__ for f in (vistrel.list_outputs, vistrel.device_info, vistrel.output_info)} == {"_vistrel"}
    assert vistrel.AccessLost.__module__ == "_vistrel"


def test_typing_files_ship_beside_the_module():
    package = pathlib.Path(vistrel.__file__).parent
    assert (package / "py.typed").is_file() and (package / "_vistrel.pyi").is_file()


def test_import_stays_light():
    script = ("import sys, vistrel\n"
              "heavy = {'numpy', 'PIL', 'av', 'vistrel.cli'} & set(sys.modules)\n"
              "assert not heavy, heavy\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


def test_long_description_publishes_no_relative_link():
    root = pathlib.Path(__file__).resolve().parents[2]
    spec = importlib.util.spec_from_file_location("long_description", root / "packaging" / "long_description.py")
    long_description = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(long_description)
    readme = (root / "README.md").read_text()
    assert "](docs/" in readme  # the README itself links the files beside it
    # Reference-style definitions would slip past the rewrite.
    assert not re.search(r"^\s*\[[^\]]+\]:", readme, re.M)
    for repository in ("https://example.org/vistrel", None):
        text = long_description.absolute_links(readme, repository)
        targets = re.findall(r"\]\(([^)]*)\)", text)
        assert all(t.startswith(("https://", "#")) for t in targets), targets
        assert text.count("## ") == readme.count("## ")

    sample = "See [docs/build.md](docs/build.md), [the tests](./docs/test.md#run), [x](#api). ![A desktop](docs/a.png)"
    assert long_description.absolute_links(sample, "https://example.org/v") == (
        "See [docs/build.md](https://example.org/v/blob/main/docs/build.md), "
        "[the tests](https://example.org/v/blob/main/docs/test.md#run), [x](#api). "
        "![A desktop](https://example.org/v/raw/main/docs/a.png)")
    assert long_description.absolute_links(sample, None) == (
        "See docs/build.md, the tests (`docs/test.md#run` in the source tree), [x](#api). *A desktop*")
    assert long_description.repository_url({"Source": "https://example.org/v/"}) == "https://example.org/v"
