"""Build the Windows wheel around the cross-built module: the Linux wheel's package files
and metadata, with _vistrel.pyd in place of the Linux extension, tagged cp39-abi3-win_amd64.

Usage: win_wheel.py LINUX_WHEEL MODULE.pyd OUT_DIR
"""
import base64
import hashlib
import pathlib
import sys
import zipfile

TAG = "cp39-abi3-win_amd64"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def entry(name):
    """A zip member with a fixed date and ordinary file permissions."""
    info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
    info.external_attr = 0o644 << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def retag(wheel_text):
    """The WHEEL file with the Windows tag as its only tag."""
    lines = [line for line in wheel_text.splitlines() if not line.startswith("Tag:")]
    return "\n".join(lines + [f"Tag: {TAG}"]) + "\n"


def main(linux_wheel, pyd, out_dir):
    source = zipfile.ZipFile(linux_wheel)
    dist_info = next(n.split("/")[0] for n in source.namelist() if n.split("/")[0].endswith(".dist-info"))
    name, version = dist_info[: -len(".dist-info")].split("-")
    target = pathlib.Path(out_dir) / f"{name}-{version}-{TAG}.whl"
    entries = []
    for info in source.infolist():
        path = info.filename
        if path.endswith(("/", "/RECORD", ".so")):
            continue
        data = source.read(info)
        if path == f"{dist_info}/WHEEL":
            data = retag(data.decode()).encode()
        entries.append((path, data))
    entries.append(("vistrel/_vistrel.pyd", pathlib.Path(pyd).read_bytes()))
    entries.sort(key=lambda e: (e[0].startswith(dist_info), e[0]))  # metadata last, as installers expect
    record_name = f"{dist_info}/RECORD"
    record = [record_line(path, data) for path, data in entries] + [f"{record_name},,"]
    target.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as out:
        for path, data in entries:
            out.writestr(entry(path), data)
        out.writestr(entry(record_name), "\n".join(record) + "\n")
    print(target)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
