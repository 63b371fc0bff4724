// Choosing the interactive user's session, with the session functions presented by a fake.
#include "capsule/wts_info.h"

#include <gtest/gtest.h>

#include "fake_sessions.h"

namespace {

TEST(WtsInfoTest, ChoosesFirstUnlockedActiveSessionElseLastActive) {
    const struct {
        const char* sessions;  // as test::FakeSessions reads them
        DWORD count;
        int index;  // the chosen session, -1 for none
        bool unlocked;
    } cases[] = {
        {"aL aU aU", 3, 1, true},
        {"aL aL dU", 3, 1, false},
        {"a? dU", 2, 0, false},
        {"dU dU", 2, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sessions);
        test::FakeSessions fake(c.sessions);
        {
            const WtsInfo info;
            EXPECT_EQ(info.sessionCount, c.count);
            EXPECT_EQ(info.sessionIndex, c.index);
            EXPECT_EQ(info.unlocked, c.unlocked);
            // The caller's own session is local: a chosen one is valid and gives its user's token.
            EXPECT_EQ(info.found, c.index >= 0);
            EXPECT_EQ(info.remoteState, c.index >= 0 ? 1 : 0);
            EXPECT_EQ(info.valid, c.index >= 0);
            EXPECT_EQ(bool(info.GetSessionUserToken()), c.index >= 0);
            win::SetWtsFunctions(nullptr);  // it frees through the table it was built with
        }
        EXPECT_TRUE(fake.buffers.empty());
    }
}

}  // namespace
