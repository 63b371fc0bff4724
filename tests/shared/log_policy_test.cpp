#include "shared/log_policy.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/log_test_support.h"
#include "shared/logger.h"
#include "support/test_support.h"

namespace QV {
namespace Shared {
namespace {

std::vector<unsigned int> ListenerTypes(const CqvLog& logger) {
    std::vector<unsigned int> types;
    for (int i = 0; i < logger.ListenerCount(); ++i) {
        types.push_back(logger.Listener(i)->GetType());
    }
    return types;
}

TEST(LogPolicyTest, ProductNameAndModuleNamesComeFromTheExecutable) {
    EXPECT_EQ(ProductNameFromVersionResource(), L"QV NYX Service");
    std::wstring fullPath;
    std::wstring baseName = L"unchanged";
    ASSERT_TRUE(GetModuleNames(fullPath, baseName));
    EXPECT_EQ(baseName, L"shared_log_test");
    EXPECT_EQ(fullPath.substr(fullPath.size() - 20), L"\\shared_log_test.exe");
}

TEST(LogPolicyTest, KeysOpenOnlyWhenTheyExist) {
    test::ScopedLogPolicy policy;
    win::UniqueRegKey productKey;
    win::UniqueRegKey moduleKey;
    EXPECT_FALSE(OpenPolicyKeys(productKey, moduleKey));
    EXPECT_FALSE(productKey);
    EXPECT_FALSE(moduleKey);

    policy.CreateProductKey();
    EXPECT_TRUE(OpenPolicyKeys(productKey, moduleKey));
    EXPECT_TRUE(productKey);
    EXPECT_FALSE(moduleKey);

    policy.SetString(true, L"MinLogLevel", L"Warning");
    policy.SetString(true, L"MinLogLevel", L"Warning", L"some_other_program");
    EXPECT_TRUE(OpenPolicyKeys(productKey, moduleKey));
    std::wstring text;
    EXPECT_TRUE(ReadPolicyString(moduleKey.Get(), L"MinLogLevel", text));
    EXPECT_EQ(text, L"Warning");
}

TEST(LogPolicyTest, PolicyValuesNeedTheirTypeAndContent) {
    test::ScopedLogPolicy policy;
    policy.SetString(false, L"Text", L"Verbose");
    policy.SetString(false, L"Empty", L"");
    policy.SetDword(false, L"Number", 7);
    win::UniqueRegKey productKey;
    win::UniqueRegKey moduleKey;
    ASSERT_TRUE(OpenPolicyKeys(productKey, moduleKey));

    std::wstring text = L"unchanged";
    EXPECT_TRUE(ReadPolicyString(productKey.Get(), L"Text", text));
    EXPECT_EQ(text, L"Verbose");
    text = L"unchanged";
    EXPECT_FALSE(ReadPolicyString(productKey.Get(), L"Empty", text));
    EXPECT_FALSE(ReadPolicyString(productKey.Get(), L"Number", text));
    EXPECT_FALSE(ReadPolicyString(productKey.Get(), L"Missing", text));
    EXPECT_FALSE(ReadPolicyString(nullptr, L"Text", text));
    EXPECT_EQ(text, L"unchanged");

    DWORD number = 0;
    EXPECT_TRUE(ReadPolicyDword(productKey.Get(), L"Number", number));
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(ReadPolicyDword(productKey.Get(), L"Text", number));
    EXPECT_FALSE(ReadPolicyDword(nullptr, L"Number", number));
}

TEST(LogPolicyTest, LoggingTypeSelectsListenersInFixedOrder) {
    struct Case {
        const wchar_t* product;  // null: not set
        const wchar_t* module;
        unsigned int defaults;
        std::vector<unsigned int> types;
    };
    const std::vector<Case> cases = {
        {nullptr, nullptr, LogTypeEvent, {LogTypeEvent}},
        {L"file debug", nullptr, LogTypeEvent, {LogTypeFile, LogTypeDebug}},
        {L"DEBUG,FILE", nullptr, LogTypeEvent, {LogTypeFile, LogTypeDebug}},
        {L"cOnSoLe dEbUg eVeNt",
         nullptr,
         LogTypeEvent,
         {LogTypeEvent, LogTypeDebug, LogTypeConsole}},
        {L"EventFile", nullptr, LogTypeEvent, {LogTypeEvent, LogTypeFile}},
        {L"nothing known", nullptr, LogTypeDebug, {LogTypeDebug}},
        // The module key hides the product key.
        {L"Console", L"Debug", LogTypeEvent, {LogTypeDebug}},
        {nullptr, L"console", LogTypeEvent, {LogTypeConsole}},
        // Queued and direct file both asked for: only the queued one.
        {nullptr,
         nullptr,
         LogTypeFile | LogTypeFileQueued | LogTypeConsole,
         {LogTypeFileQueued, LogTypeConsole}},
        {nullptr,
         nullptr,
         kAllLogTypes,
         {LogTypeEvent, LogTypeFileQueued, LogTypeDebug, LogTypeConsole}},
    };
    for (const Case& c : cases) {
        test::ScopedLogPolicy policy;
        if (c.product != nullptr) {
            policy.SetString(false, L"LoggingType", c.product);
        }
        if (c.module != nullptr) {
            policy.SetString(true, L"LoggingType", c.module);
        }
        std::unique_ptr<CqvLog> logger(CqvLog::Create(5, c.defaults));
        EXPECT_EQ(ListenerTypes(*logger), c.types)
            << (c.product != nullptr ? c.product : L"-") << " / "
            << (c.module != nullptr ? c.module : L"-");
    }
    test::RemoveLogFiles(test::OwnBaseName());
}

TEST(LogPolicyTest, LevelRangeComesFromModuleThenProductKey) {
    struct Case {
        const wchar_t* productMin;
        const wchar_t* productMax;
        const wchar_t* moduleMin;
        const wchar_t* moduleMax;
        int defaultLevel;
        int min;
        int max;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, 5, 5, 5},
        {nullptr, nullptr, nullptr, nullptr, 3, 3, 5},
        {L"verbose", nullptr, nullptr, nullptr, 5, 2, 5},
        {L"VERBOSE", L"Diag", nullptr, nullptr, 5, 2, 6},
        {nullptr, L"Never", nullptr, nullptr, 5, 5, 99},
        {L"Never", nullptr, nullptr, nullptr, 5, 99, 5},
        {L"no such level", nullptr, nullptr, nullptr, 3, 99, 5},
        {nullptr, L"Loud", nullptr, nullptr, 5, 5, 99},
        {L"Warning", L"Warning", L"traceIN", nullptr, 5, 0, 4},
        {L"Warning", L"Warning", nullptr, L"information", 5, 4, 3},
        {L"", L"", nullptr, nullptr, 4, 4, 5},  // empty texts leave the defaults
    };
    for (const Case& c : cases) {
        test::ScopedLogPolicy policy;
        policy.CreateProductKey();
        if (c.productMin != nullptr)
            policy.SetString(false, L"MinLogLevel", c.productMin);
        if (c.productMax != nullptr)
            policy.SetString(false, L"MaxLogLevel", c.productMax);
        if (c.moduleMin != nullptr)
            policy.SetString(true, L"MinLogLevel", c.moduleMin);
        if (c.moduleMax != nullptr)
            policy.SetString(true, L"MaxLogLevel", c.moduleMax);
        std::unique_ptr<CqvLog> logger(CqvLog::Create(c.defaultLevel, LogTypeDebug));
        ASSERT_EQ(logger->ListenerCount(), 1);
        EXPECT_EQ(logger->Listener(0)->MinLevel(), c.min)
            << (c.productMin ? c.productMin : L"-") << " " << (c.moduleMin ? c.moduleMin : L"-");
        EXPECT_EQ(logger->Listener(0)->MaxLevel(), c.max)
            << (c.productMax ? c.productMax : L"-") << " " << (c.moduleMax ? c.moduleMax : L"-");
    }
}

TEST(LogPolicyTest, PolicyLevelsDecideWhatReachesTheEventLog) {
    test::ScopedLogPolicy policy;
    policy.SetString(false, L"LoggingType", L"Event");
    policy.SetString(true, L"MinLogLevel", L"verbose");
    policy.SetString(true, L"MaxLogLevel", L"Diag");
    std::unique_ptr<CqvLog> logger(CqvLog::Create(5, LogTypeDebug));
    ASSERT_EQ(ListenerTypes(*logger), std::vector<unsigned int>{LogTypeEvent});
    EXPECT_EQ(logger->MinLevel(), 2);
    EXPECT_EQ(logger->MaxLevel(), 6);

    test::CapturingEventReporter events;
    for (int level = 0; level <= 7; ++level) {
        logger->Log(level, "Policy::Levels", L"%d", level);
    }
    std::vector<DWORD> ids;
    for (const auto& event : events.Events()) {
        ids.push_back(event.id);
    }
    // 6 is admitted by the range but never reaches the event log.
    EXPECT_EQ(ids, (std::vector<DWORD>{2, 3, 4, 5}));
}

}  // namespace
}  // namespace Shared
}  // namespace QV
