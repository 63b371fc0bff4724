#include <gtest/gtest.h>
#include <windows.h>

#include "engine/nyx.h"
#include "service/service_log.h"
#include "support/test_support.h"

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
