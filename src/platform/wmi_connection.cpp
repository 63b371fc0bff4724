#include "platform/wmi_connection.h"

#include <objbase.h>
#include <oleauto.h>

namespace QVBiosUpdate {
namespace {

// Milliseconds IEnumWbemClassObject::Next waits for the first object of a query.
constexpr LONG kNextTimeoutMs = 20000;

// The query language name, made once per process and kept for its lifetime. Null when the
// allocation failed.
BSTR QueryLanguage() {
    static const BSTR language = ::SysAllocString(L"WQL");
    return language;
}

}  // namespace

WmiConnection::WmiConnection(const std::wstring& namespacePath)
    : comInitResult_(
          ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_SPEED_OVER_MEMORY)) {
    if (SUCCEEDED(comInitResult_)) {
        // Fails with RPC_E_TOO_LATE once the process's security is set; the default set by
        // the first caller is what every later connection works with.
        ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    }
    Connect(namespacePath);
}

WmiConnection::~WmiConnection() {
    // Every COM reference must be gone before COM is uninitialised on this thread.
    enumerator_.Reset();
    currentObject_.Reset();
    services_.Reset();
    namespacePath_.clear();
    if (SUCCEEDED(comInitResult_)) {
        ::CoUninitialize();
    }
}

HRESULT WmiConnection::Connect(const std::wstring& namespacePath) {
    services_.Reset();

    ComPtr<IWbemLocator> locator;
    HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemLocator, locator.PutVoid());
    if (SUCCEEDED(hr)) {
        const UniqueBstr path(namespacePath.c_str());
        hr = path ? locator->ConnectServer(path.Get(), nullptr, nullptr, nullptr,
                                           WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr,
                                           services_.Put())
                  : E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
        namespacePath_ = namespacePath;
        hr = ::CoSetProxyBlanket(services_.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE);
    }
    if (FAILED(hr)) {
        services_.Reset();
    }
    return hr;
}

HRESULT WmiConnection::ExecQuery(const std::wstring& query, LONG flags) {
    if (!services_) {
        return WBEM_E_INITIALIZATION_FAILURE;
    }
    enumerator_.Reset();

    const BSTR language = QueryLanguage();
    const UniqueBstr queryText(query.c_str());
    if (language == nullptr || !queryText) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr =
        services_->ExecQuery(language, queryText.Get(), flags, nullptr, enumerator_.Put());
    if (FAILED(hr)) {
        return hr;
    }
    if (!enumerator_) {
        return WBEM_E_INVALID_CLASS;
    }

    currentObject_.Reset();
    ULONG returned = 0;
    return enumerator_->Next(kNextTimeoutMs, 1, currentObject_.Put(), &returned);
}

HRESULT WmiConnection::GetByteArrayProperty(const wchar_t* name, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (!currentObject_) {
        return WBEM_E_INVALID_OBJECT;
    }
    ScopedVariant value;
    HRESULT hr = currentObject_->Get(name, 0, value.Get(), nullptr, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    if (value.Type() == VT_NULL) {
        return S_OK;
    }
    // Only an array of one-byte elements can be copied byte for byte; anything else would
    // hand out the bytes of wider numbers or of pointers.
    if ((value.Type() & VT_ARRAY) == 0 || (value.Type() & VT_BYREF) != 0) {
        return WBEM_E_TYPE_MISMATCH;
    }
    SAFEARRAY* array = value.Get()->parray;
    if (array == nullptr || ::SafeArrayGetElemsize(array) != 1) {
        return WBEM_E_TYPE_MISMATCH;
    }

    LONG lowerBound = 0;
    LONG upperBound = -1;
    hr = ::SafeArrayGetLBound(array, 1, &lowerBound);
    if (SUCCEEDED(hr)) {
        hr = ::SafeArrayGetUBound(array, 1, &upperBound);
    }
    if (FAILED(hr)) {
        return hr;
    }
    void* data = nullptr;
    hr = ::SafeArrayAccessData(array, &data);
    if (FAILED(hr)) {
        return hr;
    }
    // Released on every way out, a failed allocation of |bytes| included.
    struct Access {
        SAFEARRAY* array;
        ~Access() { ::SafeArrayUnaccessData(array); }
    } const access{array};
    if (upperBound >= lowerBound) {
        const auto* first = static_cast<const std::uint8_t*>(data);
        const auto count = static_cast<size_t>(static_cast<long long>(upperBound) - lowerBound + 1);
        bytes.assign(first, first + count);
    }
    return S_OK;
}

HRESULT WmiConnection::GetUInt32Property(const wchar_t* name, std::uint32_t& value) {
    if (!currentObject_) {
        return WBEM_E_INVALID_OBJECT;
    }
    ScopedVariant property;
    HRESULT hr = currentObject_->Get(name, 0, property.Get(), nullptr, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    if (property.Type() != VT_UI4) {
        hr = ::VariantChangeType(property.Get(), property.Get(), 0, VT_UI4);
        if (FAILED(hr)) {
            return hr;
        }
    }
    value = property.Get()->ulVal;
    return S_OK;
}

}  // namespace QVBiosUpdate
