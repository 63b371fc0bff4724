#include "capsule/signature_check.h"

// clang-format off
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>
#include <bcrypt.h>
// clang-format on

namespace {

// The state WinVerifyTrust keeps from a verify action (WTD_STATEACTION_VERIFY) until the same
// call data is handed back with WTD_STATEACTION_CLOSE. It holds the signature and the chain
// of certificates the check judged; the owner points at the call data, which must outlive it.
struct TrustStateTraits {
    using Type = WINTRUST_DATA*;
    static Type Invalid() { return nullptr; }
    static void Close(Type data) {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data->dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
    }
};
using UniqueTrustState = win::UniqueAny<TrustStateTraits>;

LONG LastErrorOr(LONG fallback) {
    const DWORD error = ::GetLastError();
    return error == 0 ? fallback : static_cast<LONG>(error);
}

// The thumbprint of the leaf certificate of the first signer in the state of a verify action
// that succeeded.
LONG ReadSigner(HANDLE state, Thumbprint& signer) {
    CRYPT_PROVIDER_DATA* const provider = ::WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* const first =
        provider == nullptr ? nullptr : ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (first == nullptr || first->csCertChain == 0 || first->pasCertChain == nullptr ||
        first->pasCertChain[0].pCert == nullptr) {
        return static_cast<LONG>(TRUST_E_NOSIGNATURE);
    }
    // The certificate belongs to the state; it is only read here.
    const CERT_CONTEXT& certificate = *first->pasCertChain[0].pCert;
    Thumbprint digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate.pbCertEncoded,
                                 certificate.cbCertEncoded, digest.data(), &size) ||
        size != digest.size()) {
        return LastErrorOr(static_cast<LONG>(NTE_FAIL));
    }
    signer = digest;
    return ERROR_SUCCESS;
}

}  // namespace

LONG VerifySignature(const std::wstring& path, HANDLE file, Thumbprint& signer) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    // Closed on every way out, whatever the result: a failed check may leave state too.
    const UniqueTrustState state(&data);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return ReadSigner(data.hWVTStateData, signer);
}

LONG OpenSignedBy(const std::wstring& path, const Thumbprint& expected,
                  win::UniqueFileHandle& held) {
    held.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) {
        return static_cast<LONG>(::GetLastError());
    }
    Thumbprint signer{};
    LONG result = VerifySignature(path, held.Get(), signer);
    if (result == ERROR_SUCCESS && signer != expected) {
        result = kSignedByAnotherCertificate;
    }
    if (result != ERROR_SUCCESS) {
        held.Reset();
    }
    return result;
}
