// Move-only owners for the Win32 handle kinds the service uses.
//
// Each owner is described by a small traits type: what the handle type is, which value
// means "no handle" and how to close one. Closing never changes the thread's last error,
// so a failure can still be read after the cleanup that follows it.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <utility>

namespace win {

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueAny(Type value) noexcept : value_(value) {}
    ~UniqueAny() { Reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Type Get() const noexcept { return value_; }
    bool IsValid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Type Release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Closes the current handle (if any) and takes ownership of |value|.
    void Reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(lastError);
        }
    }

    // For APIs that return the handle through an out parameter: closes the current one.
    Type* Put() noexcept {
        Reset();
        return &value_;
    }

private:
    Type value_;
};

struct KernelHandleTraits {  // CreateEvent, CreateMutex, CreateProcess, OpenProcessToken...
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFile: failure is INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct ChangeNotificationTraits {  // FindFirstChangeNotification
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindCloseChangeNotification(h); }
};

struct FindHandleTraits {  // FindFirstFile
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

struct EventSourceTraits {  // RegisterEventSource
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeregisterEventSource(h); }
};

struct ServiceHandleTraits {  // OpenSCManager, OpenService, CreateService
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseServiceHandle(h); }
};

struct ModuleTraits {  // LoadLibraryEx
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};

// Memory the system allocates for the caller to free with LocalFree: security descriptors
// (ConvertStringSecurityDescriptorToSecurityDescriptor, GetSecurityInfo) and SID texts.
struct HLocalTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::LocalFree(h); }
};

struct StdioFileTraits {  // _wfopen, _wfopen_s
    using Type = FILE*;
    static Type Invalid() { return nullptr; }
    static void Close(Type file) { std::fclose(file); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFileHandle = UniqueAny<FileHandleTraits>;
using UniqueChangeNotification = UniqueAny<ChangeNotificationTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueRegKey = UniqueAny<RegKeyTraits>;
using UniqueEventSource = UniqueAny<EventSourceTraits>;
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;
using UniqueHLocal = UniqueAny<HLocalTraits>;
using UniqueStdioFile = UniqueAny<StdioFileTraits>;

}  // namespace win
