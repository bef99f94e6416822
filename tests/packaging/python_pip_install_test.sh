#!/bin/bash
# Installs the Python package with pip into fresh virtual environments, from
# the source tree, from its sdist and as an editable install, with no package
# index at all, and checks what got installed.
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

# backend <hook> <directory>: runs one hook of the in-tree backend.
backend() {
    (cd "$package_dir" && "$python" -c "import sys; sys.path.insert(0, 'build_backend')
import rova_build; print(getattr(rova_build, sys.argv[1])(sys.argv[2]))" "$1" "$2")
}

# The same tree builds the same bytes.
mkdir -p "$work/dist" "$work/again"
for hook in build_wheel build_sdist; do
    built=$(backend "$hook" "$work/dist")
    backend "$hook" "$work/again" >/dev/null
    cmp -s "$work/dist/$built" "$work/again/$built" || fail "$hook made different bytes from the same tree"
done

# check_installed <venv> <how>: what a host of the installed package relies on.
check_installed() {
    local venv=$1 how=$2 shown
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
}

# install <name> <pip install arguments...>: a fresh venv with the package installed.
install() {
    local venv=$work/$1
    shift
    "$python" -m venv "$venv" || fail "$python -m venv"
    "$venv/bin/pip" install --no-index "$@" >"$venv.log" 2>&1 || { cat "$venv.log"; fail "pip install $*"; }
}

echo "== pip install ./python"
install venv-tree "$package_dir"
check_installed "$work/venv-tree" "from the tree"
# Files of the source tree only: no caches, and nothing of the editable form.
unexpected=$(cd "$work/venv-tree/lib"/python3*/site-packages &&
    find seekwell kinemap -name '__pycache__' -prune -o -type f -print | sort | xargs)
[ "$unexpected" = "$(cd "$package_dir/src" && find seekwell kinemap -type f | sort | xargs)" ] ||
    fail "the installed files differ from the source tree's: $unexpected"

echo "== pip install the sdist"
install venv-sdist "$work/dist/seekwell-$version.tar.gz"
check_installed "$work/venv-sdist" "from the sdist"

echo "== pip install --editable ./python"
install venv-editable --editable "$package_dir"
check_installed "$work/venv-editable" "editable"
origin=$("$work/venv-editable/bin/python" -c 'import seekwell; print(seekwell.__file__)')
[ "$origin" = "$package_dir/src/seekwell/__init__.py" ] || fail "the editable install imports $origin"

echo "installed with pip from the tree, the sdist and editable; version $version"
