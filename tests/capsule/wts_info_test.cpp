// Choosing the interactive user's session, with the session functions presented by a fake.
#include "capsule/wts_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>

#include "fake_sessions.h"

namespace {

TEST(WtsInfoTest, ChoosesFirstUnlockedActiveSessionElseLastActive) {
    // sessions as test::FakeSessions reads them, the chosen one (-1: none), whether it is unlocked
    const std::tuple<const char*, int, bool> cases[] = {
        {"aL aU aU", 1, true}, {"aL aL dU", 1, false}, {"a? dU", 0, false}, {"dU dU", -1, false}};
    for (const auto& [sessions, index, unlocked] : cases) {
        SCOPED_TRACE(sessions);
        test::FakeSessions fake(sessions);
        std::optional<WtsInfo> info(std::in_place);
        // The caller's own session is local: a chosen one is valid and gives its user's token.
        const bool chosen = index >= 0;
        ::SetLastError(0);  // without a chosen session the cause is that there is no token
        EXPECT_EQ(
            std::make_tuple(info->sessionCount, info->sessionIndex, info->unlocked, info->found,
                            info->remoteState, info->valid, bool(info->GetSessionUserToken())),
            std::make_tuple(DWORD(std::strlen(sessions) / 3 + 1), index, unlocked, chosen,
                            int(chosen), chosen, chosen));
        EXPECT_TRUE(chosen || ::GetLastError() == ERROR_NO_TOKEN);
        win::SetWtsFunctions(nullptr);  // it frees through the table it was built with
        info.reset();
        EXPECT_EQ(fake.buffers, 0);
    }
}

}  // namespace
