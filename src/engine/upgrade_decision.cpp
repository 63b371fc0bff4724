#include <cwchar>
#include <string>

#include "capsule/capsule_search.h"
#include "versions/firmware_version.h"
#include "engine/nyx.h"
#include "engine/service_loop.h"
#include "platform/bios_info.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"

namespace {

constexpr size_t kEventTextLength = 256;

std::uint8_t LowByte(int field) {
    return static_cast<std::uint8_t>(field & 0xFF);
}

}  // namespace

bool Nyx::IsUpgradeNeeded(wchar_t* capsulePath, FirmwareVersion lastAttempted,
                          const wchar_t* retryCapsule) {
    bool result = false;
    Log(L"bool Nyx::IsUpgradeNeeded : Retreive SMBios info ");

    std::wstring family;
    int field1 = 0;
    int field2 = 0;
    int field3 = 0;
    int field4 = 0;
    if (!GetBiosInfo(family, field1, field2, field3, field4)) {
        Log(L"bool Nyx::IsUpgradeNeeded : failed to get BIOS information");
        ReportInfoEvent(MSG_TEXT, L"IsUpgradeNeeded", L"Failed to get BIOS information.");
    } else {
        // A malformed field counts as 255 in the comparison.
        const FirmwareVersion biosVersion =
            MakeFirmwareVersion(LowByte(field1), LowByte(field2), LowByte(field3), LowByte(field4));
        BYTE b1 = 0;
        BYTE b2 = 0;
        BYTE b3 = 0;
        BYTE b4 = 0;
        if (!FindNewestCapsule(b1, b2, b3, b4, capsulePath, family)) {
            Log(L"bool Nyx::IsUpgradeNeeded : Unable to find firmware file");
        } else {
            const FirmwareVersion fileVersion = MakeFirmwareVersion(b1, b2, b3, b4);
            Log(std::wstring(L"bool Nyx::IsUpgradeNeeded : binaryName:  ") + capsulePath);

            wchar_t text[kEventTextLength];
            std::swprintf(text, kEventTextLength, L"BIOS version = %08llx File version = %08llx",
                          static_cast<unsigned long long>(biosVersion),
                          static_cast<unsigned long long>(fileVersion));
            ReportInfoEvent(MSG_TEXT, text);

            // The running BIOS is compared first; the last attempt only when the capsule
            // beats the BIOS.
            if (fileVersion <= biosVersion) {
                std::swprintf(text, kEventTextLength,
                              L"BIOS file = %08llx (%2.2d.%2.2d.%2.2d.%2.2d) not newer than "
                              L"BIOS = %08llx (%2.2d.%2.2d.%2.2d.%2.2d)",
                              static_cast<unsigned long long>(fileVersion), b1, b2, b3, b4,
                              static_cast<unsigned long long>(biosVersion), field1, field2, field3,
                              field4);
                ReportInfoEvent(MSG_TEXT, text);
            } else {
                Log(L"bool Nyx::IsUpgradeNeeded : fileversion is greater then bios version");
                if (lastAttempted < fileVersion) {
                    result = true;
                } else if (lastAttempted == fileVersion && retryCapsule != nullptr &&
                           SameCapsule(retryCapsule, capsulePath)) {
                    Log(L"bool Nyx::IsUpgradeNeeded : last attempt failed, capsule retried");
                    result = true;
                } else {
                    std::swprintf(text, kEventTextLength,
                                  L"BIOS file = %08llx (%2.2d.%2.2d.%2.2d.%2.2d) not newer than "
                                  L"last attempted = %08llx (%2.2d.%2.2d.%2.2d.%2.2d)",
                                  static_cast<unsigned long long>(fileVersion), b1, b2, b3, b4,
                                  static_cast<unsigned long long>(lastAttempted),
                                  static_cast<int>((lastAttempted >> 24) & 0xFF),
                                  static_cast<int>((lastAttempted >> 16) & 0xFF),
                                  static_cast<int>((lastAttempted >> 8) & 0xFF),
                                  static_cast<int>(lastAttempted & 0xFF));
                    ReportInfoEvent(MSG_TEXT, text);
                }
            }
        }
    }

    Log(L"IsUpgradeNeeded result: retval= " + std::to_wstring(result ? 1 : 0) +
        L" (1 = upgrade needed, 0 = no upgrade needed)");
    return result;
}
