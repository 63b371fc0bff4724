// The upgrade decision against a BIOS identity supplied as raw SMBIOS bytes (this program's
// ReadRawSmbiosData, fake_raw_smbios.cpp) and real capsule files in the Windows firmware
// folder of the test prefix, with the service log and the reported events read back.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "capsule/capsule_search.h"
#include "engine/nyx.h"
#include "fake_raw_smbios.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "smbios_builders.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

using smbios_test::Bytes;

struct Event {
    WORD type;
    DWORD id;
    std::vector<std::wstring> strings;
};

bool operator==(const Event& a, const Event& b) {
    return a.type == b.type && a.id == b.id && a.strings == b.strings;
}

void PrintTo(const Event& event, std::ostream* os) {
    *os << "type " << event.type << ", id 0x" << std::hex << event.id << std::dec << ",";
    for (const std::wstring& text : event.strings) {
        *os << " [" << ::testing::PrintToString(text) << "]";
    }
}

Event TextEvent(const std::wstring& text) {
    return {EVENTLOG_INFORMATION_TYPE, MSG_TEXT, {text}};
}

// The events of the service's message table. The logging framework, through which the BIOS
// identity code reports its errors, passes the record's level (1 to 5) as the event ID; those
// records are not the decision's own.
std::vector<Event> ServiceEvents(const test::CapturingEventReporter& reporter) {
    std::vector<Event> events;
    for (const test::RecordedEvent& event : reporter.Events()) {
        if (event.id > 0xFFFF) {
            events.push_back({event.type, event.id, event.strings});
        }
    }
    return events;
}

// A machine whose BIOS Information structure carries |biosVersion| and the release bytes.
Bytes Machine(const std::string& biosVersion, std::uint8_t major, std::uint8_t minor) {
    return smbios_test::Table(
        {smbios_test::BiosInformation(biosVersion, major, minor), smbios_test::EndOfTable()});
}

// BIOS ABC 01.12.00: FirmwareVersion 010c0000.
const Bytes kBios011200 = Machine("ABC Ver. 01.02.03", 12, 0);

// A third word of five characters leaves only two groups ("12.00"), so field 3 is malformed:
// fields 12, 0, -1, 0, compared as 0c00ff00.
const Bytes kBiosMissingThirdGroup = Machine("ABC Ver. 01.02", 12, 0);

// A release byte of 100 gives "01.100.00", whose third pair (".0") is malformed: fields 1, 10,
// -1, 0, compared as 010aff00.
const Bytes kBiosThreeDigitRelease = Machine("ABC Ver. 01.02.03", 100, 0);

const wchar_t kRetrieve[] = L"bool Nyx::IsUpgradeNeeded : Retreive SMBios info ";
const wchar_t kNewerThanBios[] =
    L"bool Nyx::IsUpgradeNeeded : fileversion is greater then bios version";

std::wstring ResultLine(int result) {
    return L"IsUpgradeNeeded result: retval= " + std::to_wstring(result) +
           L" (1 = upgrade needed, 0 = no upgrade needed)";
}

class UpgradeDecisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(searchDriverStore) << "the decision must search the Windows firmware folder";
        folder_ = GetFirmwareFolderPath();
        ASSERT_FALSE(folder_.empty());
        ::CreateDirectoryW(folder_.c_str(), nullptr);
        ASSERT_FALSE(HoldsAbcCapsule())
            << "the firmware folder already holds ABC capsules; they would decide the search";
    }

    void TearDown() override { RemoveCapsules(); }

    void RemoveCapsules() {
        for (const std::wstring& name : created_) {
            ::DeleteFileW((folder_ + L"\\" + name).c_str());
        }
        created_.clear();
    }

    void AddCapsule(const std::wstring& name) {
        const std::wstring path = folder_ + L"\\" + name;
        win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        created_.push_back(name);
    }

    // Whether the firmware folder's tree already holds a capsule of the family ABC.
    static bool HoldsAbcCapsule() {
        BYTE b1 = 0, b2 = 0, b3 = 0, b4 = 0;
        wchar_t path[MAX_PATH] = L"";
        return FindNewestCapsule(b1, b2, b3, b4, path, L"ABC");
    }

    // Runs the decision on a fresh service log; |capsulePath_| receives the buffer's text.
    bool Decide(const Bytes& smbios, FirmwareVersion lastAttempted) {
        platform_test::SetRawSmbiosData(smbios);
        ::DeleteFileW(ServiceLogPath);
        wchar_t buffer[MAX_PATH] = L"untouched";
        const bool result = Nyx::IsUpgradeNeeded(buffer, lastAttempted);
        capsulePath_ = buffer;
        return result;
    }

    // The service log lines of a decision that found |capsuleName| in the firmware folder.
    std::vector<std::wstring> LinesWithCapsule(const std::wstring& capsuleName, bool newerThanBios,
                                               int result) const {
        std::vector<std::wstring> lines = {
            kRetrieve, StartingPathLine(),
            L"bool Nyx::IsUpgradeNeeded : binaryName:  " + CapsulePath(capsuleName)};
        if (newerThanBios) {
            lines.push_back(kNewerThanBios);
        }
        lines.push_back(ResultLine(result));
        return lines;
    }

    std::wstring StartingPathLine() const { return L"Starting Path: " + folder_ + L"\\"; }

    // A capsule lying directly in the start folder comes back with two backslashes before its
    // name (the start path ends in one).
    std::wstring CapsulePath(const std::wstring& name) const { return folder_ + L"\\\\" + name; }

    std::wstring folder_;
    std::vector<std::wstring> created_;
    std::wstring capsulePath_;
};

struct ComparisonCase {
    const char* what;
    struct {
        const Bytes* smbios;
        const wchar_t* capsule;
        FirmwareVersion lastAttempted;
    } given;
    struct {
        bool newerThanBios;  // the step-8 log line is written
        bool result;
    } outcome;
    std::vector<std::wstring> eventTexts;  // MSG_TEXT events, each with one string
};

TEST_F(UpgradeDecisionTest, ComparesTheCapsuleWithTheBiosFirstThenWithTheLastAttempt) {
    const ComparisonCase cases[] = {
        {"capsule equal to the BIOS",
         {&kBios011200, L"ABC_01120000.bin", 0},
         {false, false},
         {L"BIOS version = 010c0000 File version = 010c0000",
          L"BIOS file = 010c0000 (01.12.00.00) not newer than BIOS = 010c0000 (01.12.00.00)"}},
        {"capsule equal to the BIOS and to the last attempt",
         {&kBios011200, L"ABC_01120000.bin", 0x010c0000},
         {false, false},
         {L"BIOS version = 010c0000 File version = 010c0000",
          L"BIOS file = 010c0000 (01.12.00.00) not newer than BIOS = 010c0000 (01.12.00.00)"}},
        {"capsule older than the BIOS, last attempt newer than both",
         {&kBios011200, L"ABC_01110000.bin", 0x7f000000},
         {false, false},
         {L"BIOS version = 010c0000 File version = 010b0000",
          L"BIOS file = 010b0000 (01.11.00.00) not newer than BIOS = 010c0000 (01.12.00.00)"}},
        {"newer capsule, nothing attempted yet",
         {&kBios011200, L"ABC_01130000.bin", 0},
         {true, true},
         {L"BIOS version = 010c0000 File version = 010d0000"}},
        {"newer capsule, last attempt just below it",
         {&kBios011200, L"ABC_01130000.bin", 0x010cffff},
         {true, true},
         {L"BIOS version = 010c0000 File version = 010d0000"}},
        {"newer capsule equal to the last attempt",
         {&kBios011200, L"ABC_01130000.bin", 0x010d0000},
         {true, false},
         {L"BIOS version = 010c0000 File version = 010d0000",
          L"BIOS file = 010d0000 (01.13.00.00) not newer than last attempted = 010d0000 "
          L"(01.13.00.00)"}},
        {"newer capsule older than the last attempt",
         {&kBios011200, L"ABC_01130000.bin", 0x010e0000},
         {true, false},
         {L"BIOS version = 010c0000 File version = 010d0000",
          L"BIOS file = 010d0000 (01.13.00.00) not newer than last attempted = 010e0000 "
          L"(01.14.00.00)"}},
        {"last attempt with a byte of 255 prints it as 255",
         {&kBios011200, L"ABC_01130000.bin", 0x01ff0000},
         {true, false},
         {L"BIOS version = 010c0000 File version = 010d0000",
          L"BIOS file = 010d0000 (01.13.00.00) not newer than last attempted = 01ff0000 "
          L"(01.255.00.00)"}},
        {"six-digit capsule equal to the last attempt",
         {&kBios011200, L"ABC_011300.bin", 0x010d00ff},
         {true, false},
         {L"BIOS version = 010c0000 File version = 010d00ff",
          L"BIOS file = 010d00ff (01.13.00.255) not newer than last attempted = 010d00ff "
          L"(01.13.00.255)"}},
        {"malformed BIOS field counts as 255 against a capsule field of 99",
         {&kBiosMissingThirdGroup, L"ABC_12009900.bin", 0},
         {false, false},
         {L"BIOS version = 0c00ff00 File version = 0c006300",
          L"BIOS file = 0c006300 (12.00.99.00) not newer than BIOS = 0c00ff00 (12.00.-01.00)"}},
        {"malformed BIOS field from a three-digit release byte",
         {&kBiosThreeDigitRelease, L"ABC_01109900.bin", 0},
         {false, false},
         {L"BIOS version = 010aff00 File version = 010a6300",
          L"BIOS file = 010a6300 (01.10.99.00) not newer than BIOS = 010aff00 (01.10.-01.00)"}},
        {"malformed BIOS field beside a malformed capsule field: equal, printed -1 and 255",
         {&kBiosMissingThirdGroup, L"ABC_1200xx00.bin", 0},
         {false, false},
         {L"BIOS version = 0c00ff00 File version = 0c00ff00",
          L"BIOS file = 0c00ff00 (12.00.255.00) not newer than BIOS = 0c00ff00 (12.00.-01.00)"}},
        {"capsule newer than a BIOS with a malformed field",
         {&kBiosMissingThirdGroup, L"ABC_12010000.bin", 0},
         {true, true},
         {L"BIOS version = 0c00ff00 File version = 0c010000"}},
    };
    for (const ComparisonCase& c : cases) {
        SCOPED_TRACE(c.what);
        AddCapsule(c.given.capsule);
        const test::CapturingEventReporter reporter;

        const bool result = Decide(*c.given.smbios, c.given.lastAttempted);

        EXPECT_EQ(result, c.outcome.result);
        EXPECT_EQ(capsulePath_, CapsulePath(c.given.capsule));
        EXPECT_EQ(
            test::ReadServiceLogMessages(ServiceLogPath),
            LinesWithCapsule(c.given.capsule, c.outcome.newerThanBios, c.outcome.result ? 1 : 0));
        std::vector<Event> expected;
        for (const std::wstring& text : c.eventTexts) {
            expected.push_back(TextEvent(text));
        }
        EXPECT_EQ(ServiceEvents(reporter), expected);

        RemoveCapsules();
    }
}

TEST_F(UpgradeDecisionTest, UnreadableBiosInformationSkipsTheSearch) {
    // A capsule newer than anything is present: only a search would find it.
    AddCapsule(L"ABC_99990000.bin");
    const struct {
        const char* what;
        Bytes smbios;
    } cases[] = {
        {"no SMBIOS data", {}},
        {"version word without a number", Machine("ABC Ver. xx.02.03", 12, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::CapturingEventReporter reporter;

        EXPECT_FALSE(Decide(c.smbios, 0));

        EXPECT_EQ(capsulePath_, L"untouched");
        EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
                  (std::vector<std::wstring>{
                      kRetrieve, L"bool Nyx::IsUpgradeNeeded : failed to get BIOS information",
                      ResultLine(0)}));
        EXPECT_EQ(ServiceEvents(reporter),
                  (std::vector<Event>{{EVENTLOG_INFORMATION_TYPE,
                                       MSG_TEXT,
                                       {L"IsUpgradeNeeded", L"Failed to get BIOS information."}}}));
    }
}

TEST_F(UpgradeDecisionTest, NoCapsuleOfTheFamilyIsLoggedWithoutEvent) {
    const struct {
        const char* what;
        std::vector<std::wstring> files;
    } cases[] = {
        {"empty folder", {}},
        {"capsule of another family only", {L"XYZ_01130000.bin"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::wstring& name : c.files) {
            AddCapsule(name);
        }
        const test::CapturingEventReporter reporter;

        EXPECT_FALSE(Decide(kBios011200, 0));

        EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
                  (std::vector<std::wstring>{kRetrieve, StartingPathLine(),
                                             L"bool Nyx::IsUpgradeNeeded : Unable to find "
                                             L"firmware file",
                                             ResultLine(0)}));
        EXPECT_EQ(ServiceEvents(reporter), std::vector<Event>{});

        RemoveCapsules();
    }
}

}  // namespace
