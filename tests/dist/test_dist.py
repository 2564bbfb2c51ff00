"""What `make wheel` left in dist/: names and tags, contents, the stable ABI, and that each
artefact installs where it is meant to. Run by `make pkg-test` (PKG_DIST, PKG_DIR set)."""
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest
from packaging.utils import parse_sdist_filename, parse_wheel_filename

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = pathlib.Path(os.environ.get("PKG_DIST", ROOT / "dist"))
WORK = pathlib.Path(os.environ.get("PKG_DIR", ROOT / "build-pkg"))
BIN = pathlib.Path(sys.executable).parent
VERSION = "0.1.2"


def one(pattern):
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, f"{pattern}: {found}"
    return found[0]


def run(*command, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=600, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def linux_wheel():
    return one("vistrel-*-manylinux_*_x86_64.whl")


@pytest.fixture(scope="module")
def windows_wheel():
    return one("vistrel-*-win_amd64.whl")


def test_names_and_tags(linux_wheel, windows_wheel):
    assert sorted(p.name for p in DIST.iterdir()) == sorted(
        [linux_wheel.name, windows_wheel.name, f"vistrel-{VERSION}.tar.gz"])
    assert parse_sdist_filename(f"vistrel-{VERSION}.tar.gz") == ("vistrel", parse_wheel_filename(linux_wheel.name)[1])
    for wheel, platform in ((linux_wheel, "manylinux_"), (windows_wheel, "win_amd64")):
        name, version, _, tags = parse_wheel_filename(wheel.name)
        assert (name, str(version)) == ("vistrel", VERSION)
        assert [(t.interpreter, t.abi) for t in tags] == [("cp39", "abi3")]
        assert next(iter(tags)).platform.startswith(platform)
        # The tag inside the wheel is the one in its name.
        with zipfile.ZipFile(wheel) as archive:
            meta = archive.read(f"vistrel-{VERSION}.dist-info/WHEEL").decode()
        assert [line[5:] for line in meta.splitlines() if line.startswith("Tag: ")] == [str(t) for t in tags]
        assert "Root-Is-Purelib: false" in meta
    # auditwheel agrees with the Linux tag: its libraries are all in the policy.
    shown = " ".join(run(BIN / "auditwheel", "show", linux_wheel).split())
    platform = next(iter(parse_wheel_filename(linux_wheel.name)[3])).platform
    assert f'is consistent with the following platform tag: "{platform}"' in shown


def test_contents(linux_wheel, windows_wheel, tmp_path):
    """Exactly the package's files plus the platform's module, and the metadata."""
    for wheel, module in ((linux_wheel, "_vistrel.abi3.so"), (windows_wheel, "_vistrel.pyd")):
        tree = tmp_path / wheel.name / "vistrel"
        shutil.copytree(ROOT / "python" / "vistrel", tree, ignore=shutil.ignore_patterns("__pycache__"))
        (tree / module).touch()
        run(BIN / "check-wheel-contents", "--no-config", "--toplevel", "vistrel", "--package", tree, wheel)
    with zipfile.ZipFile(windows_wheel) as archive:
        names = archive.namelist()
    for expected in ("vistrel/__init__.py", "vistrel/_vistrel.pyi", "vistrel/py.typed", "vistrel/cli.py",
                     "vistrel/__main__.py", f"vistrel-{VERSION}.dist-info/licenses/LICENSE",
                     f"vistrel-{VERSION}.dist-info/entry_points.txt"):
        assert expected in names


def test_metadata(linux_wheel):
    with zipfile.ZipFile(linux_wheel) as archive:
        meta = archive.read(f"vistrel-{VERSION}.dist-info/METADATA").decode()
        entry_points = archive.read(f"vistrel-{VERSION}.dist-info/entry_points.txt").decode()
    fields = [line for line in meta.split("\n\n")[0].splitlines()]
    for line in ("License-Expression: MIT", "License-File: LICENSE", "Requires-Python: >=3.9",
                 "Classifier: Typing :: Typed", "Classifier: Programming Language :: Python :: 3 :: Only",
                 "Classifier: Operating System :: Microsoft :: Windows :: Windows 10",
                 "Classifier: Operating System :: POSIX :: Linux",
                 "Provides-Extra: png", "Provides-Extra: video", "Requires-Dist: numpy"):
        assert line in fields, line
    # The README, its links made absolute: none of them points into a tree the reader lacks.
    description = meta.split("\n\n", 1)[1]
    assert "Description-Content-Type: text/markdown" in fields
    assert "## Quick start" in description and "](docs/" not in description and "](examples/" not in description
    summary = next(line for line in fields if line.startswith("Summary: "))
    assert "Windows" in summary and "Linux" in summary
    assert "vistrel = vistrel.cli:main" in entry_points


def test_stable_abi_only(linux_wheel, windows_wheel):
    result = subprocess.run([str(BIN / "abi3audit"), "--strict", "--summary", "--assume-minimum-abi3", "3.9",
                             str(linux_wheel), str(windows_wheel)], capture_output=True, text=True, timeout=300)
    summary = " ".join(result.stderr.split())
    assert result.returncode == 0, summary
    assert summary.count("1 extensions scanned; 0 ABI version mismatches and 0 ABI violations found") == 2, summary


def test_windows_wheel_resolves_and_its_module_links(windows_wheel, tmp_path):
    # pip on 64-bit Windows, from the oldest and a recent CPython, picks this wheel.
    for python in ("3.9", "3.13"):
        out = run(sys.executable, "-m", "pip", "download", "--no-index", "--find-links", DIST, "--no-deps",
                  "--only-binary=:all:", "--platform", "win_amd64", "--python-version", python,
                  "--implementation", "cp", "-d", tmp_path / python, f"vistrel=={VERSION}")
        assert [p.name for p in (tmp_path / python).iterdir()] == [windows_wheel.name], out
    # ... and none for 32-bit Windows, nor any pure-Python fallback.
    result = subprocess.run([sys.executable, "-m", "pip", "download", "--no-index", "--find-links", str(DIST),
                             "--no-deps", "--only-binary=:all:", "--platform", "win32", "--python-version", "3.11",
                             "-d", str(tmp_path / "win32"), "vistrel"], capture_output=True, text=True, timeout=300)
    assert result.returncode != 0
    with zipfile.ZipFile(windows_wheel) as archive:
        (tmp_path / "_vistrel.pyd").write_bytes(archive.read("vistrel/_vistrel.pyd"))
    run(sys.executable, ROOT / "cmake" / "check_pyd.py", "x86_64-w64-mingw32-objdump", tmp_path / "_vistrel.pyd")


def fresh_venv(path):
    shutil.rmtree(path, ignore_errors=True)
    run(sys.executable, "-m", "venv", path)
    return path / "bin" / "python"


TYPED_USE = """
import vistrel
def shot() -> "vistrel._vistrel.Capturer":
    capturer = vistrel.Capturer(0, cursor=False)
    image = capturer.screenshot(fmt="rgb")
    reveal_type(image)
    reveal_type(capturer.grab())
    return capturer
"""


def test_linux_wheel_in_a_fresh_venv(linux_wheel, tmp_path):
    python = fresh_venv(WORK / "venv-wheel")
    run(python, "-m", "pip", "install", "-q", linux_wheel)
    # Run outside the source tree, so that only the installed package can answer.
    # The X11 module answers with the outputs, or without a display with the reason.
    out = run(python, "-c", "import vistrel\nprint(vistrel.__version__, vistrel.__file__)\n"
              "try:\n    print(vistrel.list_outputs())\nexcept vistrel.CaptureError as e:\n    print(e)",
              cwd=tmp_path, env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
    version, location = out.split()[:2]
    assert version == VERSION and location.startswith(str(WORK / "venv-wheel"))
    assert "cannot connect to X display" in out
    script = WORK / "venv-wheel" / "bin" / "vistrel"
    assert run(script, "--version", cwd=tmp_path).strip() == f"vistrel {VERSION}"
    # mypy sees the installed package's types.
    (tmp_path / "use.py").write_text(TYPED_USE)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
                             str(python), "use.py"], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout
    assert 'Revealed type is "numpy.ndarray[' in result.stdout
    assert "numpy.unsignedinteger[numpy._typing._nbit_base._8Bit]]] | None" in result.stdout
    if shutil.which("sway"):
        wayland_capture_is_exact(python, tmp_path)


WAYLAND_SHOT = """
import numpy as np, vistrel
reference = np.load({reference!r})
capturer = vistrel.Capturer(cursor=False)
exact = np.array_equal(capturer.screenshot(), reference)
print(vistrel.list_outputs()[0]["provider"], "exact" if exact else "differs")
"""


def wayland_capture_is_exact(python, tmp_path):
    """The installed wheel captures a headless sway as the reference client sees it."""
    import numpy as np

    sys.path.insert(0, str(ROOT / "tests" / "wayland"))
    from compositor import Sway

    sway = Sway()
    try:
        reference = tmp_path / "grim.npy"
        np.save(reference, sway.settled())
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "VISTREL_BACKEND")}
        out = run(python, "-c", WAYLAND_SHOT.format(reference=str(reference)), cwd=tmp_path,
                  env=dict(env, WAYLAND_DISPLAY=sway.display))
    finally:
        sway.stop()
    assert out.split() == ["wayland", "exact"], out


def test_sdist(tmp_path):
    sdist = DIST / f"vistrel-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
        # The safe extraction filter came to 3.11 in 3.11.4; Debian 12's python3 is 3.11.2.
        if hasattr(tarfile, "data_filter"):
            archive.extractall(tmp_path, filter="data")
        else:
            assert not any(m.name.startswith("/") or ".." in m.name.split("/") or m.issym() or m.islnk()
                           for m in archive.getmembers())
            archive.extractall(tmp_path)
    for expected in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "python/vistrel/_vistrel.pyi",
                     "src/capture/screenshot.cpp", "cmake/package.cmake"):
        assert expected in names, expected
    assert not any(n.startswith(("build/", "build-", "dist/", ".venv/")) for n in names)
    # The wheel in dist/ was built from this sdist by pip, as a user's build would run:
    # every file compiled with our warnings, none of them as errors.
    log = (WORK / "sdist-build.log").read_text()
    compiles = [line for line in log.splitlines() if " -c " in line and "-Wall" in line]
    assert len(compiles) > 20 and not any("-Werror" in line for line in compiles)
    # A configure of the unpacked sdist without our Makefile's setting keeps warnings warnings.
    source = tmp_path / f"vistrel-{VERSION}"
    env = {k: v for k, v in os.environ.items() if k != "VISTREL_WERROR"}
    run(BIN / "cmake", "-S", source, "-B", tmp_path / "b", "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={BIN / 'ninja'}",
        f"-DPython3_EXECUTABLE={sys.executable}", "-DVISTREL_TESTS=OFF", env=env)
    assert "-Werror" not in (tmp_path / "b" / "build.ninja").read_text()
