#!/bin/sh
# Finishes the control areas of the packages CPack made, where CPack has no
# setting for it:
# - drops the postinst/postrm that only run ldconfig: the libraries' packages
#   activate dpkg's ldconfig trigger instead;
# - marks the library packages (lib*) Multi-Arch: same: every file they ship
#   lies in the multiarch directory or is the same on every architecture;
# - adds the symbols file of each package that has a template
#   packaging/debian/<package>.symbols (C++ symbols as (c++) patterns), made
#   by dpkg-gensymbols for the library packed. The package test checks that
#   the library exports exactly what the template lists.
# usage: packaging/finish-debs.sh DEB...
set -eu
debian_dir=$(cd "$(dirname "$0")/debian" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# only_ldconfig SCRIPT: true when SCRIPT does nothing but run ldconfig.
only_ldconfig() {
    ! grep -Ev '^(#!/bin/sh|set -e|if \[ "\$1" = "[a-z]+" \]; then|[[:space:]]*ldconfig|fi|)$' "$1" >/dev/null
}

for deb in "$@"; do
    tree=$work/tree
    rm -rf "$tree"
    dpkg-deb -R "$deb" "$tree"
    control=$tree/DEBIAN
    if grep -q ldconfig "$control/triggers" 2>/dev/null; then
        for script in postinst postrm; do
            if [ -f "$control/$script" ] && only_ldconfig "$control/$script"; then
                rm "$control/$script"
            fi
        done
    fi
    package=$(dpkg-deb -f "$deb" Package)
    if [ -f "$debian_dir/$package.symbols" ]; then
        # -c0: a symbol lost or gained is reported by the package test, not here.
        (cd "$work" && dpkg-gensymbols -q -c0 -v"$(dpkg-deb -f "$deb" Version)" -p"$package" \
            -P"$tree" -I"$debian_dir/$package.symbols" -O"$control/symbols")
        chmod 644 "$control/symbols"
    fi
    case $package in
        lib*) grep -q '^Multi-Arch:' "$control/control" ||
                  sed -i '/^Architecture:/a Multi-Arch: same' "$control/control" ;;
    esac
    dpkg-deb --root-owner-group -b "$tree" "$deb" >/dev/null
done
