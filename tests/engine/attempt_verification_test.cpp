// The rules by which the loop judges a flash after the reboot and bounds its wait.
#include <gtest/gtest.h>

#include "versions/firmware_version.h"
#include "engine/service_loop.h"

namespace {

FILETIME Time(unsigned long long value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

TEST(AttemptVerificationTest, JudgesOnlyAfterARebootSinceTheLastWrite) {
    const unsigned long long boot = 0x01DB'0000'0000'0000ull;
    EXPECT_TRUE(RebootedSince(Time(boot - 1), Time(boot)));
    EXPECT_TRUE(RebootedSince(Time(boot - 0x1'0000'0000ull), Time(boot)));  // high part differs
    EXPECT_FALSE(RebootedSince(Time(boot), Time(boot)));
    EXPECT_FALSE(RebootedSince(Time(boot + 1), Time(boot)));
    EXPECT_FALSE(RebootedSince(Time(boot + 0x1'0000'0000ull), Time(boot)));
}

TEST(AttemptVerificationTest, ComparesTheThreeGroupsTheRunningBiosReports) {
    const struct {
        FirmwareVersion bios;
        FirmwareVersion attempted;
        bool installed;
    } cases[] = {
        {MakeFirmwareVersion(1, 13, 0, 0), MakeFirmwareVersion(1, 13, 0, 0), true},
        {MakeFirmwareVersion(1, 13, 0, 0), MakeFirmwareVersion(1, 13, 0, 5), true},
        {MakeFirmwareVersion(1, 13, 0, 0), MakeFirmwareVersion(1, 13, 0, 255), true},
        {MakeFirmwareVersion(1, 12, 0, 0), MakeFirmwareVersion(1, 13, 0, 0), false},
        {MakeFirmwareVersion(1, 13, 1, 0), MakeFirmwareVersion(1, 13, 0, 0), false},
        {MakeFirmwareVersion(2, 13, 0, 0), MakeFirmwareVersion(1, 13, 0, 0), false},
        {MakeFirmwareVersion(1, 13, 0, 0), 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LastAttemptInstalled(c.bios, c.attempted), c.installed)
            << std::hex << c.bios << " " << c.attempted;
    }
}

TEST(AttemptVerificationTest, WaitIsBoundedOnlyAfterAFailedWatchSetUp) {
    EXPECT_EQ(CycleWaitTimeout(false), INFINITE);
    EXPECT_EQ(CycleWaitTimeout(true), 5u * 60u * 1000u);
}

}  // namespace
