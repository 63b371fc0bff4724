// Process entry: the service control manager starts the executable without arguments; the
// options "install", "uninstall" and "debug" are refused because the service is installed and
// removed only together with its driver package.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/nyx.h"
#include "service/command_line.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"

namespace {

constexpr wchar_t kInstallText[] =
    L"\r\n*** Manual installation is not supported by this service.\r\n"
    L"*** Use Device Manager to install the driver instead.\r\n";
constexpr wchar_t kUninstallText[] =
    L"\r\n*** Service cannot be manually un-installed.\r\n"
    L"*** Use Device Manager to uninstall the driver instead.\r\n";
constexpr wchar_t kDebugText[] =
    L"\r\n*** Debugging is not supported by this service.\r\n"
    L"*** Use Device Manager to install the driver instead.\r\n";

std::uint32_t PrintNotSupported(const wchar_t* text) {
    std::wprintf(L"%ls", text);
    std::fflush(stdout);
    return static_cast<std::uint32_t>(E_NOTIMPL);
}

const CommandTable& GetCommandTable() {
    static const CommandTable table = {{
        {L"install", [] { return PrintNotSupported(kInstallText); }},
        {L"uninstall", [] { return PrintNotSupported(kUninstallText); }},
        {L"run", [] { return static_cast<std::uint32_t>(Nyx::runService()); }},
        {L"debug", [] { return PrintNotSupported(kDebugText); }},
    }};
    return table;
}

}  // namespace

DWORD Nyx::runService() {
    SERVICE_TABLE_ENTRYW dispatchTable[] = {
        {const_cast<LPWSTR>(kServiceDisplayName), Nyx::ServiceMain},
        {nullptr, nullptr},
    };
    if (::StartServiceCtrlDispatcherW(dispatchTable)) {
        return 0;
    }
    const DWORD error = ::GetLastError();
    const std::wstring errorText = std::to_wstring(static_cast<int>(error));
    ReportErrorEvent(MSG_CALL_FAILED, L"StartServiceCtrlDispatcher", errorText.c_str());
    Log(L"int Nyx::runService - StartServiceCtrlDispatcher failed GetLastError() = " + errorText);
    return error;
}

namespace {

int RunWinMain(LPWSTR commandLine) {
    const CommandTable& table = GetCommandTable();
    const std::vector<OptionPair> pairs =
        ParseCommandLine(commandLine != nullptr ? commandLine : L"");
    if (pairs.empty()) {
        Log(L"int APIENTRY wWinMain entered");
        return static_cast<int>(Nyx::runService());
    }
    return static_cast<int>(DispatchOptions(pairs, table));
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, LPWSTR commandLine,
                      int /*showCommand*/) {
    // Whatever the type, no exception ends the process unreported by its exit code.
    try {
        return RunWinMain(commandLine);
    } catch (...) {
        return static_cast<int>(ERROR_EXCEPTION_IN_SERVICE);
    }
}
