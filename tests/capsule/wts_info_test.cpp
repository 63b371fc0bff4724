// Choosing the interactive user's session, with the session functions presented by a fake.
#include "capsule/wts_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_sessions.h"
#include "win/unique_handle.h"

namespace {

constexpr DWORD kLocked = WTS_SESSIONSTATE_LOCK;
constexpr DWORD kUnlocked = WTS_SESSIONSTATE_UNLOCK;
constexpr DWORD kUnknown = WTS_SESSIONSTATE_UNKNOWN;

struct Setup {
    bool enumerateFails;
    bool remoteQueryFails;
    bool remote;
};

struct Expected {
    int sessionIndex;
    bool unlocked;
    int remoteState;
    std::vector<DWORD> infoQueries;  // the scan's queries, showing where it stopped
    bool tokenGiven;
};

struct Case {
    const char* name;
    std::vector<test::FakeSession> sessions;
    Setup setup;
    Expected expected;
};

TEST(WtsInfoTest, ChoosesFirstUnlockedActiveSessionElseLastActive) {
    const Case cases[] = {
        {"first locked, second unlocked: second chosen, scan stops",
         {{1, WTSActive, kLocked}, {2, WTSActive, kUnlocked}, {3, WTSActive, kUnlocked}},
         {false, false, false},
         {1, true, 1, {1, 2}, true}},
        {"both locked: the last active one",
         {{1, WTSActive, kLocked}, {2, WTSActive, kLocked}},
         {false, false, false},
         {1, false, 1, {1, 2}, true}},
        {"first unlocked wins over later ones",
         {{4, WTSActive, kUnlocked}, {5, WTSActive, kLocked}},
         {false, false, false},
         {0, true, 1, {4}, true}},
        {"locked active session followed by inactive ones: the active one",
         {{1, WTSActive, kLocked}, {2, WTSDisconnected, kUnlocked}, {3, WTSConnected, kUnlocked}},
         {false, false, false},
         {0, false, 1, {1, 2, 3}, true}},
        {"no active session",
         {{0, WTSDisconnected, kUnlocked},
          {1, WTSListen, kUnknown},
          {2, WTSConnected, kUnlocked},
          {3, WTSIdle, kUnlocked}},
         {false, false, false},
         {-1, false, 0, {0, 1, 2, 3}, false}},
        {"no session at all", {}, {false, false, false}, {-1, false, 0, {}, false}},
        {"single active session with unknown flags is chosen, not unlocked",
         {{7, WTSActive, kUnknown}},
         {false, false, false},
         {0, false, 1, {7}, true}},
        {"unknown flags do not count as unlocked even with bit 0 set",
         {{7, WTSActive, kUnknown}, {8, WTSActive, kLocked}},
         {false, false, false},
         {1, false, 1, {7, 8}, true}},
        {"failing per-session query: that session is skipped",
         {{1, WTSActive, kUnlocked, true}, {2, WTSActive, kLocked}, {3, WTSDisconnected, 0}},
         {false, false, false},
         {1, false, 1, {1, 2, 3}, true}},
        {"failing remote-session query: chosen, but no token",
         {{1, WTSActive, kUnlocked}},
         {false, true, false},
         {0, true, 0, {1}, false}},
        {"the service's own session is remote",
         {{1, WTSActive, kUnlocked}},
         {false, false, true},
         {0, true, 2, {1}, true}},
        {"enumeration fails",
         {{1, WTSActive, kUnlocked}},
         {true, false, false},
         {-1, false, 0, {}, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::FakeSessions fake(c.sessions);
        fake.enumerateFails = c.setup.enumerateFails;
        fake.remoteQueryFails = c.setup.remoteQueryFails;
        fake.remote = c.setup.remote;
        {
            const WtsInfo info;
            EXPECT_EQ(info.sessionIndex, c.expected.sessionIndex);
            EXPECT_EQ(info.found, c.expected.sessionIndex >= 0);
            EXPECT_EQ(info.unlocked, c.expected.unlocked);
            EXPECT_EQ(info.remoteState, c.expected.remoteState);
            EXPECT_EQ(info.valid, c.expected.sessionIndex >= 0 && c.expected.remoteState != 0);
            EXPECT_EQ(info.sessionCount, c.setup.enumerateFails ? 0u : c.sessions.size());
            EXPECT_EQ(fake.infoQueries, c.expected.infoQueries);
            if (c.expected.sessionIndex >= 0) {
                ASSERT_NE(info.sessionInfo, nullptr);
                EXPECT_EQ(info.sessionInfo->Data.WTSInfoExLevel1.SessionId,
                          c.sessions[static_cast<size_t>(c.expected.sessionIndex)].id);
            } else {
                EXPECT_EQ(info.sessionInfo, nullptr);
            }

            const HANDLE token = info.GetSessionUserToken();
            EXPECT_EQ(token != INVALID_HANDLE_VALUE, c.expected.tokenGiven);
            if (c.expected.tokenGiven) {
                ASSERT_EQ(fake.tokenRequests.size(), 1u);
                EXPECT_EQ(fake.tokenRequests[0],
                          c.sessions[static_cast<size_t>(c.expected.sessionIndex)].id);
                TOKEN_TYPE type{};
                DWORD size = 0;
                EXPECT_TRUE(::GetTokenInformation(token, TokenType, &type, sizeof(type), &size));
                ::CloseHandle(token);
            } else {
                EXPECT_TRUE(fake.tokenRequests.empty());
            }
            // While it lives, the object holds the session list and the chosen session only.
            const size_t held =
                (c.setup.enumerateFails ? 0 : 1) + (c.expected.sessionIndex >= 0 ? 1 : 0);
            EXPECT_EQ(fake.Outstanding(), held);
        }
        EXPECT_EQ(fake.Outstanding(), 0u);
        EXPECT_EQ(fake.badFrees, 0);
    }
}

TEST(WtsInfoTest, FailedUserTokenQueryLeavesItsErrorAndNoToken) {
    test::FakeSessions fake({{3, WTSActive, kUnlocked}});
    fake.tokenFails = true;
    const WtsInfo info;
    ASSERT_TRUE(info.valid);
    ::SetLastError(0);
    EXPECT_EQ(info.GetSessionUserToken(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), DWORD{ERROR_NO_TOKEN});
    EXPECT_EQ(fake.tokenRequests, std::vector<ULONG>{3});
}

TEST(WtsInfoTest, DeletingThroughBasePointerFreesEverything) {
    struct Derived : WtsInfo {};
    test::FakeSessions fake({{1, WTSActive, kUnlocked}});
    WtsInfo* info = new Derived;
    EXPECT_EQ(fake.Outstanding(), 2u);
    delete info;
    EXPECT_EQ(fake.Outstanding(), 0u);
}

}  // namespace
