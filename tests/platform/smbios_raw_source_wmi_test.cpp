// The service's own raw table source, the WMI reader, under Wine: Wine publishes
// MSSMBios_RawSMBiosTables without data, so every read ends in "no SMBIOS data".
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "logged_records.h"
#include "platform/bios_info.h"
#include "platform/smbios_lite.h"
#include "platform/smbios_raw_source.h"

namespace {

TEST(SmbiosRawSourceWmiTest, WineGivesNoTable) {
    EXPECT_TRUE(QVBiosUpdate::ReadRawSmbiosData().empty());
    try {
        QVBiosUpdate::SmbiosLite table;
        FAIL() << "a table was built from " << table.Structures().size() << " structures";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to get SMBIOS data from WMI");
    }
}

TEST(SmbiosRawSourceWmiTest, BiosInfoFailsWithTheTablesMessage) {
    const platform_test::LogCursor log;
    std::wstring family = L"stale";
    int fields[4] = {7, 7, 7, 7};
    EXPECT_FALSE(GetBiosInfo(family, fields[0], fields[1], fields[2], fields[3]));
    EXPECT_EQ(family, L"");
    EXPECT_EQ(std::vector<int>(fields, fields + 4), (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(log.NewRecords(),
              (std::vector<platform_test::LoggedRecord>{
                  {L"Error", "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo",
                   L"SmbiosLite exception: Failed to get SMBIOS data from WMI"}}));
}

}  // namespace
