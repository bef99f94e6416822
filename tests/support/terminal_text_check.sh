# What a program shows on a terminal must not steer it: no control character but the newline, no
# DEL, no C1 control and no invalid UTF-8. Source it after e2e_common.sh.

# terminal_text_faults FILE: what in FILE breaks that rule, one line, or nothing.
terminal_text_faults() {
    python3 - "$1" <<'PYTHON'
import sys

data = open(sys.argv[1], "rb").read()
try:
    text = data.decode("utf-8")
except UnicodeDecodeError as error:
    sys.exit(print(f"invalid UTF-8 at byte {error.start}: {data[error.start:error.start + 4]!r}"))
controls = sorted({f"U+{ord(c):04X}" for c in text if (c < " " and c != "\n") or "\x7f" <= c <= "\x9f"})
if controls:
    print("control characters", *controls)
PYTHON
}

# expect_terminal_text WHAT FILE: FILE keeps the rule.
expect_terminal_text() {
    expect_equal "$1: what the terminal would be shown" "$(terminal_text_faults "$2")" ""
}
