#!/bin/bash
# Installs the Python package with pip into fresh virtual environments, from
# the source tree, from the sdist and the wheel setuptools builds of it, and as
# an editable install, with no package index at all, and checks what got
# installed.
#
# usage: python_pip_install_test.sh <source-dir> <work-dir> <python> <version> <kinemap-dir>
#   python: Debian's interpreter the package is made for; version: the
#   project's version; kinemap-dir: where this build's libkinemap.so.2 lies.
set -euo pipefail
source_dir=$1 work=$2 python=$3 version=$4 kinemap_dir=$5
package_dir=$source_dir/python

fail() { echo "FAILED: $*" >&2; exit 1; }

# pip must never reach an index, and nothing may leave caches in the source tree.
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH

rm -rf "$work"
mkdir -p "$work"

# The one place the version is written must agree with the project's.
source_version=$(cd "$package_dir/src" && "$python" -c 'from seekwell import _libraries; print(_libraries.__version__)')
[ "$source_version" = "$version" ] ||
    fail "seekwell._libraries.__version__ is $source_version, the project is $version"

# setuptools builds inside the tree it is given (build/, src/seekwell.egg-info), so
# everything but the editable install is built from a copy without the leftovers of
# earlier builds; the source tree stays as it was.
tree=$work/tree
cp -a "$package_dir" "$tree"
rm -rf "$tree/build" "$tree"/src/*.egg-info

# build <directory>: a wheel and an sdist of the copy, by setuptools' own hooks.
build() {
    (cd "$tree" && SOURCE_DATE_EPOCH=315532800 "$python" -c 'import sys
import setuptools.build_meta as backend
directory = sys.argv[1]  # the hooks rewrite sys.argv
backend.build_wheel(directory)
backend.build_sdist(directory)' "$1") >"$1.log" 2>&1 || { cat "$1.log"; fail "building into $1"; }
}

# members <archive>: each file's name and digest, not its time stamp.
members() {
    "$python" - "$1" <<'PY'
import hashlib, sys, tarfile, zipfile

path = sys.argv[1]
if path.endswith(".whl"):
    with zipfile.ZipFile(path) as archive:
        files = {name: archive.read(name) for name in archive.namelist()}
else:
    with tarfile.open(path) as archive:
        files = {m.name: archive.extractfile(m).read() for m in archive if m.isfile()}
for name in sorted(files):
    print(name, hashlib.sha256(files[name]).hexdigest())
PY
}

# Built twice from the same tree, the second time over the first one's build/ and
# egg-info: the same wheel, byte for byte at a fixed SOURCE_DATE_EPOCH, and the same
# files in the sdist (whose gzip header carries the time of the build).
wheel=seekwell-$version-py3-none-any.whl sdist=seekwell-$version.tar.gz
build "$work/dist"
build "$work/again"
for archive in "$wheel" "$sdist"; do
    [ -f "$work/dist/$archive" ] || fail "no $archive built: $(ls "$work/dist")"
done
cmp -s "$work/dist/$wheel" "$work/again/$wheel" || fail "the second wheel of the same tree differs"
[ "$(members "$work/dist/$sdist")" = "$(members "$work/again/$sdist")" ] ||
    fail "the second sdist of the same tree holds other files"

# The package's files as the source tree has them.
source_files=$(cd "$package_dir/src" && find seekwell kinemap -name '__pycache__' -prune -o -type f -print | sort | xargs)

# check_installed <venv> <how>: what a host of the installed package relies on.
check_installed() {
    local venv=$1 how=$2 shown installed
    shown=$("$venv/bin/pip" show seekwell) || fail "$how: pip show seekwell: $shown"
    grep -qx "Version: $version" <<<"$shown" || fail "$how: pip shows $shown"
    LD_LIBRARY_PATH=$kinemap_dir "$venv/bin/python" - "$version" "$how" <<'PY' || fail "$how: see above"
import importlib.metadata, pathlib, sys
import kinemap, seekwell

version, how = sys.argv[1:]
problems = []
for module in (seekwell, kinemap):
    if module.__version__ != version:
        problems.append(f"{module.__name__}.__version__ is {module.__version__}")
    if not (pathlib.Path(module.__file__).parent / "py.typed").is_file():
        problems.append(f"{module.__name__} has no py.typed")
if importlib.metadata.version("seekwell") != version:
    problems.append(f"the metadata says version {importlib.metadata.version('seekwell')}")
if kinemap.string(kinemap.StringId.MODEL_1, lang="en") != "TK-42":
    problems.append("kinemap.string(MODEL_1) is not TK-42")
for problem in problems:
    print(f"{how}: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
PY
    [ "$how" = editable ] && return
    # Files of the source tree only, in the venv itself: no caches, nothing of the editable form.
    installed=$(cd "$venv/lib"/python3*/site-packages &&
        find seekwell kinemap -name '__pycache__' -prune -o -type f -print | sort | xargs)
    [ "$installed" = "$source_files" ] || fail "$how: the installed files differ from the source tree's: $installed"
}

# install <name> <pip install arguments...>: a fresh venv with the package installed.
# Debian's setuptools and wheel come from the system's site-packages; a python3-seekwell
# installed there is ignored, else pip would take it for this wheel.
install() {
    local venv=$work/$1
    shift
    "$python" -m venv --system-site-packages "$venv" || fail "$python -m venv"
    "$venv/bin/pip" install --no-build-isolation --no-index --ignore-installed "$@" >"$venv.log" 2>&1 ||
        { cat "$venv.log"; fail "pip install $*"; }
}

echo "== pip install ./python"
install venv-tree "$tree"
check_installed "$work/venv-tree" "from the tree"

echo "== pip install the sdist"
install venv-sdist "$work/dist/$sdist"
check_installed "$work/venv-sdist" "from the sdist"

echo "== pip install the wheel"
install venv-wheel "$work/dist/$wheel"
check_installed "$work/venv-wheel" "from the wheel"

# The editable install writes nothing into the tree, so it takes the source tree itself.
echo "== pip install --editable ./python"
install venv-editable --editable "$package_dir"
check_installed "$work/venv-editable" "editable"
origin=$("$work/venv-editable/bin/python" -c 'import seekwell; print(seekwell.__file__)')
[ "$origin" = "$package_dir/src/seekwell/__init__.py" ] || fail "the editable install imports $origin"

echo "installed with pip from the tree, the sdist, the wheel and editable; version $version"
