"""Text from the network made safe to print: what every printer of the package and its example uses."""

from __future__ import annotations

import locale
from typing import Union

REPLACEMENT = "?"
# The lone surrogates that bytes.decode(errors="surrogateescape") leaves, one per byte that is
# not UTF-8.
UNDECODABLE = range(0xDC80, 0xDD00)
SURROGATES = range(0xD800, 0xE000)
# What the package's decoded names hold where their bytes were not UTF-8.
DECODED_REPLACEMENT = "\ufffd"
# The codesets (nl_langinfo(CODESET)) of locales whose terminal takes UTF-8. The C and POSIX
# locales' ANSI_X3.4-1968 counts, as Python itself takes them (and as seekwell-discover does).
UTF8_CODESETS = ("UTF-8", "ANSI_X3.4-1968")


def is_control(character: str) -> bool:
    """C0 controls, DEL and the C1 controls U+0080..U+009F: a terminal may act on any of them."""
    code = ord(character)
    return code < 0x20 or 0x7F <= code <= 0x9F


def characters(raw: bytes) -> str:
    """The bytes as UTF-8, each byte that is not UTF-8 kept as one surrogate of UNDECODABLE."""
    return raw.decode("utf-8", errors="surrogateescape")


def terminal_text(text: Union[str, bytes]) -> str:
    """`text` safe to write to a terminal: each control character (below U+0020, DEL, U+0080 to
    U+009F) and each byte that is not UTF-8 becomes '?'; every other character, Japanese
    included, stays itself.

    bytes are read as UTF-8, one '?' per byte that is not (as seekwell-discover prints them). In
    a str, lone surrogates (what errors="surrogateescape" leaves) and U+FFFD (what the
    package's names hold where the bytes were not UTF-8, as Robot.name does) become '?' too.
    """
    if isinstance(text, bytes):
        return "".join(REPLACEMENT if ord(c) in UNDECODABLE or is_control(c) else c for c in characters(text))
    return "".join(
        REPLACEMENT if c == DECODED_REPLACEMENT or ord(c) in SURROGATES or is_control(c) else c for c in text
    )


def locale_takes_utf8() -> bool:
    """Whether the LC_CTYPE locale Python runs in has a terminal of UTF-8: not under one of
    another character set (ISO-8859-1, EUC-JP), where UTF-8's bytes show garbled and some are C1
    controls."""
    return locale.nl_langinfo(locale.CODESET) in UTF8_CODESETS


def ascii_only(text: str) -> str:
    """`text` with each character beyond ASCII as '?', for a terminal of another character set."""
    return "".join(c if ord(c) < 0x80 else REPLACEMENT for c in text)
