/*
 * The examples' one way of showing text that came from the LAN (robot names,
 * addresses, reasons) on a terminal. A device can send any bytes, so control
 * characters (below 0x20, DEL, U+0080..U+009F) and every byte of invalid UTF-8
 * are shown as '?'; valid UTF-8 shows as itself. C99, and valid C++17.
 */
#ifndef ROVA_EXAMPLES_TERMINAL_TEXT_H
#define ROVA_EXAMPLES_TERMINAL_TEXT_H

#include <stddef.h>
#include <stdio.h>

/* The length of the UTF-8 character at `text` (1 to 4), or 0 where no valid
 * character starts: a stray or missing continuation byte, an overlong form, a
 * surrogate or a value above U+10FFFF. */
static inline size_t TerminalTextCharacterLength(const unsigned char* text)
{
    const unsigned char lead = text[0];
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    /* The second byte's range rules out overlong forms, surrogates and values above U+10FFFF. */
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = text[i]; /* a terminating NUL fails here, so no read passes it */
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

/* Writes `text` to `out` as described above; NULL is written as "(none)". */
static inline void PrintTerminalText(FILE* out, const char* text)
{
    const unsigned char* at = (const unsigned char*)(text != NULL ? text : "(none)");
    while (*at != '\0') {
        const size_t length = TerminalTextCharacterLength(at);
        const int control = length == 1 ? *at < 0x20 || *at == 0x7f : length == 2 && at[0] == 0xC2 && at[1] < 0xA0;
        const size_t step = length == 0 ? 1 : length;
        if (length == 0 || control) {
            fputc('?', out);
        } else {
            fwrite(at, 1, step, out);
        }
        at += step;
    }
}

#endif /* ROVA_EXAMPLES_TERMINAL_TEXT_H */
