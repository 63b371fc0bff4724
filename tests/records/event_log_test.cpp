#include "records/event_log.h"

#include <gtest/gtest.h>

#include "records/messages.h"
#include "support/test_support.h"

namespace {

TEST(EventLogTest, SourceIsRegisteredBeforeMain) {
    EXPECT_NE(ServiceEventSource(), nullptr);
}

TEST(EventLogTest, TypeComesFromTheFunctionAndCountFromTheStrings) {
    test::CapturingEventReporter events;
    const std::wstring first = L"CopyFile";
    const std::wstring second = L"src=\"a\", dest=\"b\", error=5";

    ReportInfoEvent(MSG_SERVICE_STARTING);
    ReportErrorEvent(MSG_BIOS_INFO_UNREADABLE);
    ReportInfoEvent(MSG_UPGRADING_FIRMWARE, std::wstring(L"C:\\fw\\ABC_01130000.bin"));
    ReportErrorEvent(MSG_CALL_FAILED, first, &second);
    ReportInfoEvent(MSG_TEXT, L"IsUpgradeNeeded", L"Failed to get BIOS information.");
    ReportErrorEvent(MSG_CALL_FAILED, L"RunKel", nullptr);
    ReportErrorEvent(MSG_UPGRADE_FAILED, std::wstring(), nullptr);

    const std::vector<test::RecordedEvent> expected = {
        {EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTING, {}},
        {EVENTLOG_ERROR_TYPE, MSG_BIOS_INFO_UNREADABLE, {}},
        {EVENTLOG_INFORMATION_TYPE, MSG_UPGRADING_FIRMWARE, {L"C:\\fw\\ABC_01130000.bin"}},
        {EVENTLOG_ERROR_TYPE, MSG_CALL_FAILED, {first, second}},
        {EVENTLOG_INFORMATION_TYPE,
         MSG_TEXT,
         {L"IsUpgradeNeeded", L"Failed to get BIOS information."}},
        {EVENTLOG_ERROR_TYPE, MSG_CALL_FAILED, {L"RunKel"}},
        {EVENTLOG_ERROR_TYPE, MSG_UPGRADE_FAILED, {L""}},
    };
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(recorded[i].type, expected[i].type) << i;
        EXPECT_EQ(recorded[i].id, expected[i].id) << i;
        EXPECT_EQ(recorded[i].strings, expected[i].strings) << i;
    }
}

}  // namespace
