#!/usr/bin/env python3
"""Checks a shared library against its committed ABI baseline.

usage: check_abi.py BASELINE.abi LIBRARY PUBLIC_INCLUDE_DIR

Fails (exit 1) when abidiff finds any change other than added symbols, or
when the library exports a symbol that its public headers do not declare.
Additions to the public interface pass, with abidiff's report shown.
"""
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# abidiff's exit status is a bit set.
ABIDIFF_ERROR = 1
ABIDIFF_USAGE_ERROR = 2

ABIDIFF = ["abidiff", "--exported-interfaces-only", "--no-show-locs"]
SPECIAL_CLASS_SYMBOL = re.compile(r"^(?:vtable|typeinfo|typeinfo name|VTT) for (.+)$")


def run(arguments):
    return subprocess.run(arguments, capture_output=True, text=True)


def output_of(arguments):
    result = run(arguments)
    if result.returncode != 0:
        sys.exit(f"{' '.join(arguments)} failed:\n{result.stderr}")
    return result.stdout


def abidiff_passes(baseline, library):
    """Passes when the library differs from the baseline by additions at most.

    abidiff cannot tell every compatible type change from an incompatible
    one, so any change other than added symbols fails; a deliberate one is
    accepted by recording a new baseline.
    """
    changes = run(ABIDIFF + ["--no-added-syms", baseline, str(library)])
    if changes.returncode & (ABIDIFF_ERROR | ABIDIFF_USAGE_ERROR):
        print(f"abidiff could not compare {library.name} with {baseline}:\n{changes.stderr}")
        return False
    if changes.returncode:
        print(f"ABI change against {baseline}:\n{changes.stdout}")
        return False
    additions = run(ABIDIFF + [baseline, str(library)]).stdout.strip()
    if additions:
        print(f"Added to the ABI since {baseline}:\n{additions}")
    return True


def exported_symbols(library):
    """Maps each defined dynamic symbol's mangled name to its demangled one."""
    # Symbol versions are left off the names, and the version nodes themselves
    # (absolute symbols, type A) are not functions or data a header declares.
    listing = output_of(["nm", "-D", "--defined-only", "--without-symbol-versions", "--format=posix", str(library)])
    mangled = [fields[0] for fields in (line.split() for line in listing.splitlines()) if fields[1] != "A"]
    demangled = output_of(["c++filt"] + mangled).splitlines() if mangled else []
    return dict(zip(mangled, demangled))


def public_classes(library, include_dir):
    """Names of the classes whose definition lies in the public headers.

    Debug paths may be absolute or remapped, so a header is recognised by
    its path below the include directory, e.g. "kinemap/kinemap.h".
    """
    headers = tuple("/" + str(path.relative_to(include_dir)) for path in include_dir.rglob("*.h"))
    root = ElementTree.fromstring(output_of(["abidw", "--no-corpus-path", str(library)]))
    return {
        element.get("name")
        for element in root.iter("class-decl")
        if ("/" + element.get("filepath", "")).endswith(headers)
    }


COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.DOTALL)


def header_declarations(include_dir):
    """The public headers' text without comments, where names are declared."""
    text = "\n".join(path.read_text(errors="replace") for path in include_dir.rglob("*.h"))
    return COMMENT.sub(" ", text)


def is_public(demangled, classes, headers):
    special = SPECIAL_CLASS_SYMBOL.match(demangled)
    if special:
        return special.group(1) in classes
    qualified_name = demangled.split("(", 1)[0]
    owner, _, name = qualified_name.rpartition("::")
    if owner in classes:
        return True
    # A free function or variable: its name must be declared in a header.
    return re.search(r"\b%s\b" % re.escape(name), headers) is not None


def main(baseline, library, include_dir):
    if not pathlib.Path(baseline).is_file():
        print(f"No ABI baseline {baseline}: record it with packaging/abi/update-baselines.sh BUILD_DIR")
        return 1
    library = pathlib.Path(library).resolve()
    include_dir = pathlib.Path(include_dir).resolve()
    passed = abidiff_passes(baseline, library)
    classes = public_classes(library, include_dir)
    headers = header_declarations(include_dir)
    for mangled, demangled in sorted(exported_symbols(library).items()):
        if not is_public(demangled, classes, headers):
            print(f"Exported but not declared in {include_dir}: {demangled} ({mangled})")
            passed = False
    print(f"{library.name}: {'ABI check passed' if passed else 'ABI check FAILED'}")
    return 0 if passed else 1


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
