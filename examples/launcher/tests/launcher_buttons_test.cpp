#include "launcher_buttons.h"

#include "host_session.h"

#include <gtest/gtest.h>

namespace {

TEST(LauncherButtons, RetryOnlyAfterARunThatFailedOrWasStoppedAndNeverDuringOne)
{
    struct Case {
        bool running, ending;
        int exitStatus;
        bool retry, repair, cancel;
        const char* cancelText;
    } cases[] = {
        {true, false, kExitIncomplete, false, false, true, "Cancel"},
        {true, true, kExitStopped, false, false, false, "Cancel"},
        {false, true, kExitIncomplete, false, false, false, "Close"},
        {false, false, kExitIncomplete, true, true, true, "Close"},
        {false, false, kExitStopped, true, true, true, "Close"},
        {false, false, kExitComplete, false, true, true, "Close"},
        {false, false, kExitRefused, false, true, true, "Close"},
    };
    for (const Case& c : cases) {
        LauncherButtons b = launcherButtons(c.running, c.ending, c.exitStatus);
        EXPECT_EQ(c.retry, b.retryShown && b.retryEnabled) << c.running << c.ending << c.exitStatus;
        EXPECT_EQ(c.repair, b.repairEnabled) << c.running << c.ending << c.exitStatus;
        EXPECT_EQ(c.cancel, b.cancelEnabled) << c.running << c.ending << c.exitStatus;
        EXPECT_STREQ(c.cancelText, b.cancelText);
    }
}

}  // namespace
