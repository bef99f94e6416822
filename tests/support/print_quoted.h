/* Prints a text the way the C hosts of the tests and benchmarks show names: in double quotes,
 * with quotes and backslashes escaped and any byte outside printable ASCII as \xNN, so the
 * exact bytes can be compared; NULL as (null). */
#ifndef SEEKWELL_TESTS_PRINT_QUOTED_H
#define SEEKWELL_TESTS_PRINT_QUOTED_H

#include <stdio.h>

static inline void PrintQuoted(const char* text)
{
    const unsigned char* c;
    if (text == NULL) {
        fputs("(null)", stdout);
        return;
    }
    putchar('"');
    for (c = (const unsigned char*)text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            printf("\\%c", *c);
        } else if (*c < 0x20 || *c >= 0x7f) {
            printf("\\x%02x", *c);
        } else {
            putchar(*c);
        }
    }
    putchar('"');
}

#endif /* SEEKWELL_TESTS_PRINT_QUOTED_H */
