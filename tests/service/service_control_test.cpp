#include <gtest/gtest.h>
#include <windows.h>

#include <iterator>

#include "engine/nyx.h"
#include "records/service_log.h"
#include "support/test_support.h"
#include "win/sdk_compat.h"
#include "win/unique_handle.h"

namespace {

class ServiceHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileW(ServiceLogPath);
        stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stopEvent_, nullptr);
        Nyx::m_serviceStopEvent = stopEvent_;
    }
    void TearDown() override {
        Nyx::m_serviceStopEvent = nullptr;
        ::CloseHandle(stopEvent_);
        ::DeleteFileW(ServiceLogPath);
    }
    bool StopEventSet() const { return ::WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0; }

    HANDLE stopEvent_ = nullptr;
};

TEST_F(ServiceHandlerTest, StopAndShutdownAnswerNoErrorAndSetTheStopEvent) {
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
        ::ResetEvent(stopEvent_);
        EXPECT_EQ(Nyx::ServiceHandler(control, 0, nullptr, &Nyx::m_context), DWORD{NO_ERROR});
        EXPECT_TRUE(StopEventSet()) << control;
    }
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
              (std::vector<std::wstring>{L"DWORD WINAPI Nyx::ServiceHandler : control = 1",
                                         L"DWORD WINAPI Nyx::ServiceHandler : control = 5"}));
}

TEST_F(ServiceHandlerTest, EveryOtherControlIsNotImplementedAndChangesNothing) {
    const DWORD controls[] = {SERVICE_CONTROL_INTERROGATE,
                              SERVICE_CONTROL_SESSIONCHANGE,
                              SERVICE_CONTROL_PAUSE,
                              SERVICE_CONTROL_CONTINUE,
                              SERVICE_CONTROL_PARAMCHANGE,
                              SERVICE_CONTROL_POWEREVENT,
                              128,
                              255};
    std::vector<std::wstring> expectedLog;
    for (DWORD control : controls) {
        EXPECT_EQ(Nyx::ServiceHandler(control, 0, nullptr, nullptr),
                  DWORD{ERROR_CALL_NOT_IMPLEMENTED})
            << control;
        EXPECT_FALSE(StopEventSet()) << control;
        expectedLog.push_back(L"DWORD WINAPI Nyx::ServiceHandler : control = " +
                              std::to_wstring(control));
    }
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath), expectedLog);
}

TEST_F(ServiceHandlerTest, OnlyALogonSignalsTheLoop) {
    win::UniqueHandle logon(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    Nyx::m_logonEvent = logon.Get();
    const struct {
        DWORD eventType;
        DWORD answer;
        bool signalled;
    } cases[] = {
        {WTS_SESSION_LOGON, NO_ERROR, true},
        {WTS_SESSION_LOGOFF, ERROR_CALL_NOT_IMPLEMENTED, false},
        {WTS_SESSION_LOCK, ERROR_CALL_NOT_IMPLEMENTED, false},
        {WTS_SESSION_UNLOCK, ERROR_CALL_NOT_IMPLEMENTED, false},
        {WTS_CONSOLE_CONNECT, ERROR_CALL_NOT_IMPLEMENTED, false},
        {WTS_REMOTE_CONNECT, ERROR_CALL_NOT_IMPLEMENTED, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Nyx::ServiceHandler(SERVICE_CONTROL_SESSIONCHANGE, c.eventType, nullptr, nullptr),
                  c.answer)
            << c.eventType;
        EXPECT_EQ(::WaitForSingleObject(logon.Get(), 0) == WAIT_OBJECT_0, c.signalled)
            << c.eventType;
        EXPECT_FALSE(StopEventSet()) << c.eventType;
    }
    // Any other control with the logon's event type is not a logon.
    EXPECT_EQ(Nyx::ServiceHandler(SERVICE_CONTROL_INTERROGATE, WTS_SESSION_LOGON, nullptr, nullptr),
              DWORD{ERROR_CALL_NOT_IMPLEMENTED});
    EXPECT_NE(::WaitForSingleObject(logon.Get(), 0), WAIT_OBJECT_0);
    // Without the event (it could not be created) a logon is still answered.
    Nyx::m_logonEvent = nullptr;
    EXPECT_EQ(
        Nyx::ServiceHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr),
        DWORD{NO_ERROR});
    const auto messages = test::ReadServiceLogMessages(ServiceLogPath);
    ASSERT_EQ(messages.size(), std::size(cases) + 2);
    EXPECT_EQ(messages.front(), L"DWORD WINAPI Nyx::ServiceHandler : control = 14");
}

TEST_F(ServiceHandlerTest, StopBeforeTheEventExistsIsAnsweredWithoutCrashing) {
    Nyx::m_serviceStopEvent = nullptr;
    EXPECT_EQ(Nyx::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), DWORD{NO_ERROR});
    EXPECT_FALSE(StopEventSet());
}

// Outside a service process the control handler cannot be registered: the main function
// logs the failure, reports nothing and releases the stop event it made.
TEST(ServiceMainTest, HandlerRegistrationFailureReturnsAndClosesTheStopEvent) {
    ::DeleteFileW(ServiceLogPath);
    Nyx::ServiceMain(0, nullptr);

    const auto messages = test::ReadServiceLogMessages(ServiceLogPath);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], L"void WINAPI Nyx::ServiceMain : ServiceMain entered");
    EXPECT_EQ(messages[1].rfind(L"RegisterServiceCtrlHandlerEx failed with Error code: ", 0), 0u)
        << messages[1];
    EXPECT_EQ(Nyx::m_serviceStopEvent, nullptr);
    EXPECT_EQ(Nyx::m_context.changeHandle, INVALID_HANDLE_VALUE);
    ::DeleteFileW(ServiceLogPath);
}

}  // namespace
