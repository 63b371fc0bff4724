// Applies sections of a firmware package's INF the way device installation applies them, for
// places without device installation: the demo and the packaging tests, under Wine, install
// and remove the service through the shipped INF's own sections with it.
//
// What device installation does that this does not: it installs on no device and copies no
// file. The package folder is expected to hold the package files already, as the driver
// store's folder does after Windows has imported a package.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "win/unique_handle.h"

namespace inf_install {

struct InfHandleTraits {  // SetupOpenInfFile: failure is INVALID_HANDLE_VALUE
    using Type = HINF;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::SetupCloseInfFile(h); }
};
using UniqueInf = win::UniqueAny<InfHandleTraits>;

// An INF opened so that every %13% in it (DIRID 13, the package's driver-store folder) names
// a given package folder.
//
// Wine's setup API has no driver store: it resolves DIRID 13 to a placeholder folder and
// refuses SetupSetDirectoryId below DIRID_USER. The setup API looks a %name% up in the INF's
// [Strings] before it tries it as a DIRID, so this reads a working copy of the INF (UTF-16,
// in the temporary folder) that has one string added, 13, naming the package folder; the
// sections are those of the INF, unchanged. The copy is deleted with this object.
class PackageInf {
public:
    // |packageFolder| without a trailing backslash. On failure IsOpen() is false and Error()
    // holds the Windows error (ErrorLine() the line, for a syntax error).
    PackageInf(const std::wstring& infPath, const std::wstring& packageFolder);
    ~PackageInf();
    PackageInf(const PackageInf&) = delete;
    PackageInf& operator=(const PackageInf&) = delete;

    bool IsOpen() const { return inf_.IsValid(); }
    HINF Get() const { return inf_.Get(); }
    DWORD Error() const { return error_; }
    UINT ErrorLine() const { return errorLine_; }

private:
    std::wstring copyPath_;
    UniqueInf inf_;
    DWORD error_ = ERROR_SUCCESS;
    UINT errorLine_ = 0;
};

// Applies |section| of |inf| as device installation applies an install section: its registry
// directives (AddReg, DelReg), then the AddService and DelService directives of the section
// named |section| + ".Services", when there is one. Files are not copied. HKR has no key in
// |section| itself (there is no device, hence no driver key): its lines must name a root.
//
// The event-log parts of those directives (the event-log install section of AddService,
// applied under HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>; the event-log
// entry removed by DelService with SPSVCINST_DELETEEVENTLOGENTRY) are applied here after the
// setup API's own pass, because Wine's setup API skips them; on Windows that repeats what the
// setup API already did, with the same result.
//
// Returns ERROR_SUCCESS, or the Windows error of the first step that failed; the steps before
// it stay applied. Any thread; needs the rights to change HKLM and the service control manager.
DWORD ApplySection(HINF inf, const std::wstring& section);

}  // namespace inf_install
