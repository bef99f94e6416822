/* seekwell_check_targets from C, through the library: the entry it names
 * for each list, its answers for NULL, and a search's start refusing what it
 * refuses. Nothing is sent: a refused list starts nothing. */
#include <errno.h>
#include <seekwell/seekwell.h>
#include <stdio.h>

static int g_failures;

static void Expect(int holds, const char* what)
{
    if (!holds) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++g_failures;
    }
}

static void Ignore(const seekwell_event* event, void* user_data)
{
    (void)event;
    (void)user_data;
}

int main(void)
{
    static const struct {
        const char* list[4];
        int result;
        size_t firstRefused;
        seekwell_target_reason reason;
    } cases[] = {
        {{"198.19.5.11", "198.19.6.0/24", NULL}, 0, 2, SEEKWELL_TARGET_ACCEPTED},
        {{NULL}, 0, 0, SEEKWELL_TARGET_ACCEPTED},
        {{"198.19.5.11", "robot.local", "127.0.0.1", NULL}, -EINVAL, 1, SEEKWELL_TARGET_HOSTNAME},
        {{"127.0.0.1", NULL}, -EINVAL, 0, SEEKWELL_TARGET_LOOPBACK},
        {{"300.1.1.1", NULL}, -EINVAL, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"10.0.0.0/8", NULL}, -EINVAL, 0, SEEKWELL_TARGET_PREFIX_TOO_SHORT},
        {{"198.19.0.0/20", "198.18.0.1", NULL}, -EINVAL, 1, SEEKWELL_TARGET_TOO_MANY_ADDRESSES},
        {{"239.255.255.250", NULL}, -EINVAL, 0, SEEKWELL_TARGET_NOT_UNICAST},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        size_t firstRefused = 99;
        seekwell_target_reason reason = (seekwell_target_reason)99;
        Expect(seekwell_check_targets(cases[i].list, &firstRefused, &reason) == cases[i].result, "result");
        Expect(firstRefused == cases[i].firstRefused, "first refused entry");
        Expect(reason == cases[i].reason, "reason");
        /* The search's start answers alike, and starts nothing for a refused list. */
        seekwell_options options = SEEKWELL_OPTIONS_INIT;
        options.targets = cases[i].list;
        seekwell_search* search = NULL;
        if (cases[i].result != 0) {
            Expect(seekwell_search_start(&options, Ignore, NULL, &search) == -EINVAL && search == NULL,
                   "the search's start refuses it too");
        }
    }
    /* NULL is no targets; either answer may go unwanted. */
    size_t firstRefused = 99;
    seekwell_target_reason reason = SEEKWELL_TARGET_LOOPBACK;
    Expect(seekwell_check_targets(NULL, &firstRefused, &reason) == 0, "NULL list");
    Expect(firstRefused == 0 && reason == SEEKWELL_TARGET_ACCEPTED, "NULL list's answers");
    Expect(seekwell_check_targets(cases[2].list, NULL, NULL) == -EINVAL, "no answers wanted");
    Expect(seekwell_check_targets(cases[2].list, &firstRefused, NULL) == -EINVAL && firstRefused == 1,
           "the index alone");
    return g_failures == 0 ? 0 : 1;
}
