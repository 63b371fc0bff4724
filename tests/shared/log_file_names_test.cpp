#include "shared/log_file_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace QV {
namespace Shared {
namespace {

TEST(LogFileNamesTest, ModuleBaseNameIsFileNameWithoutLastExtension) {
    struct Case {
        const wchar_t* path;
        bool ok;
        const wchar_t* baseName;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\QV\\QvNyxService.exe", true, L"QvNyxService"},
        {L"C:\\x\\my.tool.exe", true, L"my.tool"},
        {L"C:\\x.dir\\noextension", true, L"noextension"},
        {L"\\\\server\\share\\a.b", true, L"a"},
        {L"C:\\x\\", true, L""},
        {L"QvNyxService.exe", false, L"unchanged"},
        {L"", false, L"unchanged"},
    };
    for (const Case& c : cases) {
        std::wstring baseName = L"unchanged";
        EXPECT_EQ(ModuleBaseNameFromPath(c.path, baseName), c.ok) << c.path;
        EXPECT_EQ(baseName, c.baseName) << c.path;
    }
}

TEST(LogFileNamesTest, MutexNameDropsDriveAndTurnsBackslashesIntoDots) {
    struct Case {
        const wchar_t* path;
        const wchar_t* name;
    };
    const Case cases[] = {
        {L"C:\\Data\\qvzLog\\App.log", L"Global\\.Data.qvzLog.App.log"},
        {L"App.log", L"Global\\App.log"},
        {L":odd\\a.log", L"Global\\:odd.a.log"},     // a ":" at the start stays
        {L"C:\\a:b\\c.log", L"Global\\.a:b.c.log"},  // only up to the first ":"
        {L"\\\\server\\share\\x.log", L"Global\\..server.share.x.log"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LogMutexName(c.path), c.name) << c.path;
    }
}

TEST(LogFileNamesTest, ArchiveNamesCarryFourDigits) {
    EXPECT_EQ(ArchiveName(L"C:\\l\\App", 1), L"C:\\l\\App_0001.log");
    EXPECT_EQ(ArchiveName(L"C:\\l\\App", 9), L"C:\\l\\App_0009.log");
    EXPECT_EQ(ArchiveName(L"x", 12345), L"x_12345.log");
}

std::vector<ArchiveFile> Archives(const std::vector<std::uint64_t>& times) {
    std::vector<ArchiveFile> archives;
    for (size_t i = 0; i < times.size(); ++i) {
        archives.push_back({ArchiveName(L"App", static_cast<int>(i) + 1), times[i]});
    }
    return archives;
}

TEST(LogFileNamesTest, RotationPlanNumbersByAgeAndKeepsAtMostNine) {
    struct Case {
        const char* what;
        std::vector<ArchiveFile> found;
        std::vector<std::wstring> deletions;
        std::vector<std::wstring> renumberedOldestFirst;
        std::vector<int> numbers;
    };
    const std::vector<Case> cases = {
        {"none", {}, {}, {}, {}},
        {"one", Archives({50}), {}, {L"App_0001.log"}, {2}},
        {"names disagree with times: times win",
         Archives({30, 10, 20}),
         {},
         {L"App_0002.log", L"App_0003.log", L"App_0001.log"},
         {4, 3, 2}},
        {"nine: the oldest goes",
         Archives({9, 8, 7, 6, 5, 4, 3, 2, 1}),
         {L"App_0009.log"},
         {L"App_0008.log", L"App_0007.log", L"App_0006.log", L"App_0005.log", L"App_0004.log",
          L"App_0003.log", L"App_0002.log", L"App_0001.log"},
         {9, 8, 7, 6, 5, 4, 3, 2}},
        {"eleven: the three oldest go",
         Archives({11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}),
         {L"App_0011.log", L"App_0010.log", L"App_0009.log"},
         {L"App_0008.log", L"App_0007.log", L"App_0006.log", L"App_0005.log", L"App_0004.log",
          L"App_0003.log", L"App_0002.log", L"App_0001.log"},
         {9, 8, 7, 6, 5, 4, 3, 2}},
        {"equal times: both kept, the higher number counts as older",
         Archives({5, 5, 1}),
         {},
         {L"App_0003.log", L"App_0002.log", L"App_0001.log"},
         {4, 3, 2}},
    };
    for (const Case& c : cases) {
        const ArchiveRotationPlan plan = PlanArchiveRotation(c.found);
        EXPECT_EQ(plan.deletions, c.deletions) << c.what;
        std::vector<std::wstring> names;
        std::vector<int> numbers;
        for (const ArchiveRenumbering& archive : plan.renumbering) {
            names.push_back(archive.name);
            numbers.push_back(archive.number);
        }
        EXPECT_EQ(names, c.renumberedOldestFirst) << c.what;
        EXPECT_EQ(numbers, c.numbers) << c.what;
    }
}

}  // namespace
}  // namespace Shared
}  // namespace QV
