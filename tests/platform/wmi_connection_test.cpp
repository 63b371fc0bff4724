// The WMI wrapper against Wine's real WMI service.
#include "platform/wmi_connection.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using QVBiosUpdate::WmiConnection;

constexpr LONG kQueryFlags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;

// The WMI status codes as HRESULTs (wbemcli.h declares them as an unsigned enumeration).
constexpr HRESULT kInitializationFailure = static_cast<HRESULT>(WBEM_E_INITIALIZATION_FAILURE);
constexpr HRESULT kInvalidNamespace = static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE);
constexpr HRESULT kFalse = static_cast<HRESULT>(WBEM_S_FALSE);
constexpr HRESULT kInvalidObject = static_cast<HRESULT>(WBEM_E_INVALID_OBJECT);
constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);
constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH);

// Each test runs its connection on a thread of its own, as the service does, so that the
// COM state of one test cannot leak into the next.
template <typename Body>
void OnOwnThread(Body body) {
    std::thread thread(body);
    thread.join();
}

// Reads |property| as a number into a variable that holds 77: |expected| on success, else the
// variable is left alone.
void ExpectNumberRead(WmiConnection& connection, const wchar_t* property, HRESULT result,
                      std::uint32_t expected = 0) {
    std::uint32_t value = 77;
    EXPECT_EQ(connection.GetUInt32Property(property, value), result) << property;
    EXPECT_EQ(value, result == S_OK ? expected : 77u) << property;
}

// Reads |property| as bytes into a vector that holds three: it is emptied whatever the result.
void ExpectBytesReadAsNone(WmiConnection& connection, const wchar_t* property, HRESULT result) {
    std::vector<std::uint8_t> bytes{1, 2, 3};
    EXPECT_EQ(connection.GetByteArrayProperty(property, bytes), result) << property;
    EXPECT_TRUE(bytes.empty()) << property;
}

TEST(WmiConnectionTest, MissingNamespaceFailsTheQuery) {
    OnOwnThread([] {
        WmiConnection connection(L"\\\\.\\root\\nosuch");
        EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_BIOS", kQueryFlags),
                  kInitializationFailure);
        EXPECT_EQ(connection.Connect(L"\\\\.\\root\\nosuch"), kInvalidNamespace);

        // A later successful Connect makes the same object usable.
        EXPECT_EQ(connection.Connect(L"\\\\.\\root\\cimv2"), S_OK);
        EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_BIOS", kQueryFlags), S_OK);
        // ... and a failed one drops the namespace again.
        EXPECT_EQ(connection.Connect(L"\\\\.\\root\\nosuch"), kInvalidNamespace);
        EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_BIOS", kQueryFlags),
                  kInitializationFailure);
    });
}

TEST(WmiConnectionTest, QueryThatMatchesNothingLeavesNoObject) {
    OnOwnThread([] {
        WmiConnection connection(L"\\\\.\\root\\cimv2");
        ASSERT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_OperatingSystem", kQueryFlags), S_OK);
        EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_Process WHERE ProcessId = 999999",
                                       kQueryFlags),
                  kFalse);
        // The object of the earlier query does not survive a query that found nothing.
        ExpectNumberRead(connection, L"OSType", kInvalidObject);
    });
}

TEST(WmiConnectionTest, ReadsBeforeAnyQueryFindNoObject) {
    OnOwnThread([] {
        WmiConnection connection(L"\\\\.\\root\\cimv2");
        ExpectBytesReadAsNone(connection, L"BuildNumber", kInvalidObject);
        ExpectNumberRead(connection, L"BuildNumber", kInvalidObject);
    });
}

TEST(WmiConnectionTest, TypedReadsOfTheOperatingSystem) {
    OnOwnThread([] {
        OSVERSIONINFOW os = {};
        os.dwOSVersionInfoSize = sizeof(os);
        ASSERT_TRUE(::GetVersionExW(&os));

        WmiConnection connection(L"\\\\.\\root\\cimv2");
        ASSERT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_OperatingSystem", kQueryFlags), S_OK);

        struct Case {
            const wchar_t* property;
            HRESULT result;
            std::uint32_t value;  // expected on success; otherwise the value stays 77
        };
        const Case cases[] = {
            {L"BuildNumber", S_OK, os.dwBuildNumber},  // a string of digits
            {L"OSType", S_OK, 18},                     // a signed number (18: Windows NT)
            {L"Caption", DISP_E_TYPEMISMATCH, 0},      // a string of letters
            {L"NoSuchProperty", kNotFound, 0},
        };
        for (const Case& c : cases) {
            ExpectNumberRead(connection, c.property, c.result, c.value);
        }
        ExpectBytesReadAsNone(connection, L"BuildNumber", kTypeMismatch);
        ExpectBytesReadAsNone(connection, L"NoSuchProperty", kNotFound);
    });
}

// Wine publishes the class of the raw SMBIOS table, but without data: SMBiosData is null and
// Size does not exist.
TEST(WmiConnectionTest, RawSmbiosClassCarriesNoDataUnderWine) {
    OnOwnThread([] {
        WmiConnection connection(L"\\\\.\\root\\wmi");
        ASSERT_EQ(connection.ExecQuery(L"SELECT * FROM MSSMBios_RawSMBiosTables", kQueryFlags),
                  S_OK);
        ExpectBytesReadAsNone(connection, L"SMBiosData", S_OK);  // a null value reads as no bytes
        ExpectNumberRead(connection, L"Size", kNotFound);
    });
}

TEST(WmiConnectionTest, ComInitialisationLastsAsLongAsTheObject) {
    // A thread without COM: the object initialises and uninitialises it.
    OnOwnThread([] {
        {
            WmiConnection connection(L"\\\\.\\root\\cimv2");
            EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_BIOS", kQueryFlags), S_OK);
            EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE)
                << "the object's apartment is single-threaded";
        }
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK)
            << "COM is no longer initialised on the thread";
        ::CoUninitialize();
    });

    // A thread already in the multithreaded apartment: the object works in it and leaves
    // the thread's own initialisation in place.
    OnOwnThread([] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            WmiConnection connection(L"\\\\.\\root\\cimv2");
            EXPECT_EQ(connection.ExecQuery(L"SELECT * FROM Win32_BIOS", kQueryFlags), S_OK);
        }
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE)
            << "the thread's own initialisation is still there";
        ::CoUninitialize();
        ::CoUninitialize();
    });
}

}  // namespace
