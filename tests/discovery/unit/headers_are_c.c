/* The public headers are valid C: this file only has to compile and agree,
 * also on the version, with the package's and the running library's. */
#include <seekwell/seekwell.h>
#include <seekwell/window_messages.h>
#include <stdio.h>
#include <string.h>

static int VersionMatchesPackage(void)
{
    char parts[32];
    snprintf(parts, sizeof parts, "%d.%d.%d", SEEKWELL_VERSION_MAJOR, SEEKWELL_VERSION_MINOR, SEEKWELL_VERSION_PATCH);
    return strcmp(parts, SEEKWELL_VERSION_TEXT) == 0 && strcmp(SEEKWELL_VERSION_TEXT, ROVA_PACKAGE_VERSION) == 0;
}

/* The library that runs is the one this header describes, and answers the
 * same record every time. */
static int RunningVersionMatchesHeader(void)
{
    const seekwell_version_info* running = seekwell_version();
    return running != NULL && running == seekwell_version() && running->major == SEEKWELL_VERSION_MAJOR &&
           running->minor == SEEKWELL_VERSION_MINOR && running->patch == SEEKWELL_VERSION_PATCH &&
           running->number == SEEKWELL_VERSION_NUMBER &&
           running->number == (unsigned)((running->major << 16) | (running->minor << 8) | running->patch) &&
           strcmp(running->text, SEEKWELL_VERSION_TEXT) == 0;
}

int main(void)
{
    if (!VersionMatchesPackage()) {
        fprintf(stderr, "header version %s, package version %s\n", SEEKWELL_VERSION_TEXT, ROVA_PACKAGE_VERSION);
        return 1;
    }
    if (!RunningVersionMatchesHeader()) {
        fprintf(stderr, "the running library says %s, the header %s\n", seekwell_version()->text,
                SEEKWELL_VERSION_TEXT);
        return 1;
    }
    static const char* const names[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES;
    DISCOVERY_RESULT record = {0, 0};
    int (*entry)(DISCOVERY_RESULT*) = DiscoveryROVAByUPnP;
    (void)entry;
    return record.pszName == 0 && strcmp(names[0], SEEKWELL_WM_KROVA_CONNECT) == 0 &&
                   SeekwellWindowMessageId(names[0]) >= SEEKWELL_WM_FIRST_ID
               ? 0
               : 1;
}
