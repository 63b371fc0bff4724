// A thin wrapper around one WMI namespace connection and one query on it.
//
// The object initialises COM on the thread that constructs it (single-threaded apartment)
// and uninitialises it when destroyed, so it must be created, used and destroyed on one
// thread. Nothing throws: every failure comes back as the HRESULT of the call that failed.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com_owners.h"

namespace QVBiosUpdate {

class WmiConnection {
public:
    // Initialises COM (COINIT_APARTMENTTHREADED | COINIT_SPEED_OVER_MEMORY); when that
    // succeeded, sets the process's default COM security (which only the first call in the
    // process can do); then connects to |namespacePath|. A failed connection shows later as
    // WBEM_E_INITIALIZATION_FAILURE from ExecQuery.
    explicit WmiConnection(const std::wstring& namespacePath);

    // Releases the enumerator, the current object and the namespace, then uninitialises COM
    // if the constructor initialised it.
    ~WmiConnection();

    WmiConnection(const WmiConnection&) = delete;
    WmiConnection& operator=(const WmiConnection&) = delete;

    // (Re)connects to |namespacePath|; on any failure no namespace is held afterwards.
    // Returns the HRESULT of the last call made (E_OUTOFMEMORY when the path could not be
    // made into a BSTR).
    HRESULT Connect(const std::wstring& namespacePath);

    // Runs a WQL query and takes its first object. Returns S_OK when an object was obtained,
    // WBEM_S_FALSE (1) when the query matched nothing, WBEM_E_INITIALIZATION_FAILURE when
    // there is no namespace, WBEM_E_INVALID_CLASS when no enumerator came back, and
    // otherwise the HRESULT of the failing call (a time-out of the 20-second wait for the
    // first object among them).
    HRESULT ExecQuery(const std::wstring& query, LONG flags);

    // Reads an array property of the current object into |bytes|, which is emptied first.
    // A null value gives S_OK with no bytes; a value that is not an array of bytes gives
    // WBEM_E_TYPE_MISMATCH; no current object gives WBEM_E_INVALID_OBJECT.
    HRESULT GetByteArrayProperty(const wchar_t* name, std::vector<std::uint8_t>& bytes);

    // Reads a property of the current object converted to an unsigned 32-bit number. On
    // failure |value| is untouched: WBEM_E_INVALID_OBJECT without a current object, the
    // HRESULT of IWbemClassObject::Get, or that of the conversion (a text that is no number).
    HRESULT GetUInt32Property(const wchar_t* name, std::uint32_t& value);

private:
    HRESULT comInitResult_;
    std::wstring namespacePath_;
    ComPtr<IWbemServices> services_;
    ComPtr<IWbemClassObject> currentObject_;
    ComPtr<IEnumWbemClassObject> enumerator_;
};

}  // namespace QVBiosUpdate
