#!/bin/bash
# `cmake --install` into prefixes that are not Debian's: each gets the
# libraries, headers, .pc files written for it and manual pages, the Python
# package where that prefix's python3 finds it (or none, saying so), and no
# file of the Debian packaging.
# usage: prefix_install_test.sh <build-dir> <work-dir> <libdir> <python>
#   libdir: the configured CMAKE_INSTALL_LIBDIR; python: Debian's interpreter
set -euo pipefail
build=$1 work=$2 libdir=$3 python=$4
readonly NOT_INSTALLED_MESSAGE='Python package not installed'

fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"

# install <log> <prefix> [env...]: the whole install, as `cmake --install` prints it.
install() {
    local log=$1 prefix=$2
    shift 2
    env "$@" cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log"; fail "installing into $prefix"; }
}

# expect_common <root> <prefix>: what every install has, and nothing Debian's.
expect_common() {
    local root=$1 prefix=$2 flags expected debian_files
    flags=$(PKG_CONFIG_PATH="$root$prefix/$libdir/pkgconfig" pkg-config --cflags --libs seekwell kinemap | xargs)
    expected="-I$prefix/include -L$prefix/$libdir -lseekwell -lkinemap"
    [ "$flags" = "$expected" ] || fail "pkg-config printed '$flags', not '$expected'"
    [ -f "$root$prefix/share/man/man1/seekwell-discover.1" ] || fail "no manual page in $prefix"
    debian_files=$(find "$root$prefix" \( -path '*/lintian/*' -o -name 'changelog.Debian*' -o -name copyright \) -print)
    [ -z "$debian_files" ] || fail "Debian's files outside a Debian package: $debian_files"
}

# expect_python <python> <directory> <prefix>: the interpreter imports both
# packages from the directory, with no PYTHONPATH, and they work with the
# prefix's libraries.
expect_python() {
    local interpreter=$1 directory=$2 prefix=$3
    env -u PYTHONPATH -u PYTHONHOME LD_LIBRARY_PATH="$prefix/$libdir" \
        "$interpreter" - "$directory" <<'PY' || fail "$interpreter did not import the installed package"
import os, sys
import kinemap, seekwell
for module in (seekwell, kinemap):
    if os.path.dirname(os.path.dirname(os.path.realpath(module.__file__))) != os.path.realpath(sys.argv[1]):
        sys.exit(f"{module.__name__} was imported from {module.__file__}")
if kinemap.string(kinemap.StringId.MODEL_1, lang="en") != "TK-42":
    sys.exit("kinemap.string(MODEL_1) is not TK-42")
PY
}

echo "== a virtual environment's prefix: into its site-packages"
venv=$work/venv
"$python" -m venv --without-pip "$venv"
install "$work/venv.log" "$venv"
site=$("$venv/bin/python3" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
[ -f "$site/seekwell/__init__.py" ] || fail "the package is not in the environment's $site"
expect_common "" "$venv"
expect_python "$venv/bin/python3" "$site" "$venv"

echo "== /usr/local, staged with DESTDIR: where Debian's python3 looks under /usr/local"
stage=$work/stage
install "$work/local.log" /usr/local DESTDIR="$stage"
local_site=$("$python" -c 'import site, sys
print(next(d for d in site.getsitepackages() if d.startswith("/usr/local/lib/")))')
[ -f "$stage$local_site/seekwell/__init__.py" ] || fail "the package is not in $local_site"
expect_common "$stage" /usr/local

echo "== a prefix no python3 looks in, given relative: the package left out, and said so"
(cd "$work" && install plain.log plain)
grep -q "$NOT_INSTALLED_MESSAGE" "$work/plain.log" || fail "the install did not say the package was left out"
[ -z "$(find "$work/plain" -name '*.py' -print)" ] || fail "Python files were installed into $work/plain"
expect_common "" "$work/plain"

echo "every prefix got what fits it"
