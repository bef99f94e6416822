/* The public headers are valid C: this file only has to compile and agree. */
#include <seekwell/seekwell.h>
#include <seekwell/window_messages.h>

#include <string.h>

int main(void)
{
    static const char* const names[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES;
    DISCOVERY_RESULT record = {0, 0};
    int (*entry)(DISCOVERY_RESULT*) = DiscoveryROVAByUPnP;
    (void)entry;
    return record.pszName == 0 && strcmp(names[0], SEEKWELL_WM_KROVA_CONNECT) == 0 &&
                   SeekwellWindowMessageId(names[0]) >= SEEKWELL_WM_FIRST_ID
               ? 0
               : 1;
}
