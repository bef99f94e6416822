/* seekwell_check_targets from C, through the library: the entry it names
 * and why, its answers for NULL, and a search's start refusing what it
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
    /* Each reason is read in live_targets_test; here the C answers, and loopback refused.
     * A NULL list is no targets. */
    static const char* const hostname[] = {"198.19.5.11", "robot.local", "127.0.0.1", NULL};
    const struct {
        const char* const* list;
        size_t firstRefused;
        seekwell_target_reason reason;
    } cases[] = {
        {(const char* const[]){"198.19.5.11", "198.19.6.0/24", NULL}, 2, SEEKWELL_TARGET_ACCEPTED},
        {(const char* const[]){NULL}, 0, SEEKWELL_TARGET_ACCEPTED},
        {NULL, 0, SEEKWELL_TARGET_ACCEPTED},
        {hostname, 1, SEEKWELL_TARGET_HOSTNAME},
        {(const char* const[]){"127.0.0.1", NULL}, 0, SEEKWELL_TARGET_LOOPBACK},
        {(const char* const[]){"198.19.0.0/20", "198.18.0.1", NULL}, 1, SEEKWELL_TARGET_TOO_MANY_ADDRESSES},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const int refused = cases[i].reason != SEEKWELL_TARGET_ACCEPTED;
        size_t firstRefused = 99;
        seekwell_target_reason reason = (seekwell_target_reason)99;
        Expect(seekwell_check_targets(cases[i].list, &firstRefused, &reason) == (refused ? -EINVAL : 0), "result");
        Expect(firstRefused == cases[i].firstRefused && reason == cases[i].reason, "first refused entry and why");
        seekwell_options options = SEEKWELL_OPTIONS_INIT;
        options.targets = cases[i].list;
        seekwell_search* search = NULL;
        if (refused) {
            Expect(seekwell_search_start(&options, Ignore, NULL, &search) == -EINVAL && search == NULL,
                   "the search's start refuses it too");
        }
    }
    /* Either answer may go unwanted. */
    size_t firstRefused = 99;
    Expect(seekwell_check_targets(hostname, NULL, NULL) == -EINVAL, "no answers wanted");
    Expect(seekwell_check_targets(hostname, &firstRefused, NULL) == -EINVAL && firstRefused == 1, "the index alone");
    return g_failures == 0 ? 0 : 1;
}
