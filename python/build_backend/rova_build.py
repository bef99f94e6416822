"""The build backend of the seekwell distribution (PEP 517 and PEP 660).

Standard library only, so that pip can build the package in its isolated
environment with no index to fetch a backend from. The metadata comes from
the [project] table of pyproject.toml, the version from `__version__` in
src/seekwell/_libraries.py (the loader both packages share), the files from src/.
"""

import ast
import base64
import gzip
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src"
VERSION_MODULE = SOURCE / "seekwell" / "_libraries.py"
WHEEL_TAG = "py3-none-any"
# Archives carry one fixed time so that the same tree builds the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
SDIST_FILES = ("pyproject.toml", "README.md", "build_backend/rova_build.py")


def read_project_table():
    """The [project] table: one `key = value` a line, values written as
    strings or arrays of strings (which read the same in Python)."""
    table, inside = {}, False
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith("["):
            inside = line == "[project]"
        elif inside and "=" in line and not line.startswith("#"):
            key, value = (part.strip() for part in line.split("=", 1))
            table[key] = ast.literal_eval(value)
    return table


def read_version():
    for node in ast.parse(VERSION_MODULE.read_text(encoding="utf-8")).body:
        targets = [t.id for t in getattr(node, "targets", []) if isinstance(t, ast.Name)]
        if targets == ["__version__"]:
            return ast.literal_eval(node.value)
    raise RuntimeError(f"no __version__ in {VERSION_MODULE}")


def distribution():
    project = read_project_table()
    name = re.sub(r"[-_.]+", "_", project["name"]).lower()
    return project, name, read_version()


def metadata_text():
    project, _, version = distribution()
    readme = (ROOT / project["readme"]).read_text(encoding="utf-8")
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {project['name']}\n"
        f"Version: {version}\n"
        f"Summary: {project['description']}\n"
        f"Requires-Python: {project['requires-python']}\n"
        "Description-Content-Type: text/markdown\n"
        f"\n{readme}"
    )


def wheel_text():
    return f"Wheel-Version: 1.0\nGenerator: rova_build\nRoot-Is-Purelib: true\nTag: {WHEEL_TAG}\n"


def dist_info_name():
    _, name, version = distribution()
    return f"{name}-{version}.dist-info"


def source_files():
    """Everything under src/ but the interpreter's caches, sorted."""
    for path in sorted(SOURCE.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            yield path


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def write_wheel(directory, contents):
    """contents: (archive name, bytes) pairs; the dist-info files are added last."""
    _, name, version = distribution()
    dist_info = dist_info_name()
    contents = sorted(contents) + [
        (f"{dist_info}/METADATA", metadata_text().encode()),
        (f"{dist_info}/WHEEL", wheel_text().encode()),
    ]
    record = "".join(record_line(n, d) for n, d in contents) + f"{dist_info}/RECORD,,\n"
    contents.append((f"{dist_info}/RECORD", record.encode()))
    filename = f"{name}-{version}-{WHEEL_TAG}.whl"
    with zipfile.ZipFile(Path(directory) / filename, "w", zipfile.ZIP_DEFLATED) as archive:
        for member, data in contents:
            info = zipfile.ZipInfo(member, ZIP_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return filename


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return write_wheel(wheel_directory, [(p.relative_to(SOURCE).as_posix(), p.read_bytes()) for p in source_files()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel whose only file puts src/ on the path (PEP 660)."""
    _, name, _ = distribution()
    return write_wheel(wheel_directory, [(f"__editable__.{name}.pth", f"{SOURCE}\n".encode())])


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    directory = Path(metadata_directory) / dist_info_name()
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "METADATA").write_text(metadata_text(), encoding="utf-8")
    (directory / "WHEEL").write_text(wheel_text(), encoding="utf-8")
    return directory.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def get_requires_for_build_wheel(config_settings=None):
    return []


get_requires_for_build_sdist = get_requires_for_build_editable = get_requires_for_build_wheel


def build_sdist(sdist_directory, config_settings=None):
    _, name, version = distribution()
    base = f"{name}-{version}"
    members = [(f"{base}/PKG-INFO", metadata_text().encode())]
    members += [(f"{base}/{n}", (ROOT / n).read_bytes()) for n in SDIST_FILES]
    members += [(f"{base}/{p.relative_to(ROOT).as_posix()}", p.read_bytes()) for p in source_files()]
    filename = f"{base}.tar.gz"
    with open(os.path.join(sdist_directory, filename), "wb") as raw, gzip.GzipFile(
        fileobj=raw, mode="wb", mtime=0
    ) as compressed, tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for member, data in sorted(members):
            info = tarfile.TarInfo(member)
            info.size, info.mode = len(data), 0o644
            archive.addfile(info, io.BytesIO(data))
    return filename


if __name__ == "__main__":
    # rova_build.py DIRECTORY: the metadata alone, for packages that install src/ as it is.
    import sys

    print(prepare_metadata_for_build_wheel(sys.argv[1]))
