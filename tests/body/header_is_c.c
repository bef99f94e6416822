/* The header serves C programs too: the string table, its constants and a
 * version that agrees with the package's. */
#include <kinemap/kinemap.h>
#include <stdio.h>
#include <string.h>

static int VersionMatchesPackage(void)
{
    char parts[32];
    snprintf(parts, sizeof parts, "%d.%d.%d", KINEMAP_VERSION_MAJOR, KINEMAP_VERSION_MINOR, KINEMAP_VERSION_PATCH);
    return strcmp(parts, KINEMAP_VERSION_TEXT) == 0 && strcmp(KINEMAP_VERSION_TEXT, ROVA_PACKAGE_VERSION) == 0;
}

static int SizesThenLoads(void)
{
    char name[32];
    const int length = KinemapGetString(KINEMAP_STRING_MODEL_4, KINEMAP_LANGUAGE_ENGLISH, NULL, 0);
    return length == 5 && length < (int)sizeof name &&
           KinemapLoadString(KINEMAP_STRING_MODEL_4, KINEMAP_LANGUAGE_ENGLISH, name, length + 1) == length &&
           strcmp(name, "TK-50") == 0;
}

int main(void)
{
    if (!VersionMatchesPackage()) {
        fprintf(stderr, "header version %s, package version %s\n", KINEMAP_VERSION_TEXT, ROVA_PACKAGE_VERSION);
        return 1;
    }
    return SizesThenLoads() ? 0 : 1;
}
