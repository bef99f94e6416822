#!/bin/bash
# Prints what each package ships and how it relates to others, in a form that
# stays the same across versions, architectures and builds: the version
# becomes VERSION, the multiarch triplet MULTIARCH, the architecture ARCH and
# a debug file's build ID ID.
# usage: package_manifest.sh DEB...
set -euo pipefail
readonly FIELDS=(Architecture Multi-Arch Section Depends Pre-Depends Recommends Suggests Breaks Replaces
                 Provides Conflicts)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)

# manifest DEB: one package's entry, before the normalising.
manifest() {
    local deb=$1 field value
    echo "== $(dpkg-deb -f "$deb" Package)"
    for field in "${FIELDS[@]}"; do
        value=$(dpkg-deb -f "$deb" "$field")
        [ -z "$value" ] || echo "$field: $value"
    done
    echo "control: $(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed -n 's,^\./\(.\),\1,p' | sort | xargs)"
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's,^\.,,' -e '/\/$/d' | sort
}

for deb in "$@"; do
    manifest "$deb" | sed -e "s/$(dpkg-deb -f "$deb" Version)/VERSION/g" -e "s/$multiarch/MULTIARCH/g" \
        -e "s/\b$arch\b/ARCH/g" -e 's,/\.build-id/[0-9a-f]*/[0-9a-f]*\.debug$,/.build-id/ID.debug,'
done
