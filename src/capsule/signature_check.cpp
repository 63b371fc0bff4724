#include "capsule/signature_check.h"

// clang-format off
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>
#include <bcrypt.h>
// clang-format on

#include <memory>
#include <vector>

namespace {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
struct MessageCloser {
    void operator()(HCRYPTMSG message) const { ::CryptMsgClose(message); }
};
struct CertificateFreer {
    void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};

LONG LastErrorResult() {
    const DWORD error = ::GetLastError();
    return error == 0 ? static_cast<LONG>(TRUST_E_NOSIGNATURE) : static_cast<LONG>(error);
}

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const {
        ::BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};
struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { ::BCryptDestroyHash(hash); }
};

// SHA-256 of |bytes|.
bool Sha256(const BYTE* bytes, DWORD size, Thumbprint& digest) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            ::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    const std::unique_ptr<void, AlgorithmCloser> algorithm(rawAlgorithm);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(rawAlgorithm, &rawHash, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    const std::unique_ptr<void, HashDestroyer> hash(rawHash);
    return BCRYPT_SUCCESS(::BCryptHashData(rawHash, const_cast<BYTE*>(bytes), size, 0)) &&
           BCRYPT_SUCCESS(::BCryptFinishHash(rawHash, digest.data(), 32, 0));
}

}  // namespace

LONG VerifySignature(const std::wstring& path, HANDLE file) {
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
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

LONG ReadSignerThumbprint(const std::wstring& path, Thumbprint& thumbprint) {
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                            &rawMessage, nullptr)) {
        return LastErrorResult();
    }
    const std::unique_ptr<void, StoreCloser> store(rawStore);
    const std::unique_ptr<void, MessageCloser> message(rawMessage);
    DWORD size = 0;
    if (!::CryptMsgGetParam(rawMessage, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) {
        return LastErrorResult();
    }
    std::vector<BYTE> signer(size);
    if (!::CryptMsgGetParam(rawMessage, CMSG_SIGNER_CERT_INFO_PARAM, 0, signer.data(), &size)) {
        return LastErrorResult();
    }
    const std::unique_ptr<const CERT_CONTEXT, CertificateFreer> certificate(
        ::CertFindCertificateInStore(rawStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_FIND_SUBJECT_CERT, signer.data(), nullptr));
    if (!certificate) {
        return LastErrorResult();
    }
    return Sha256(certificate->pbCertEncoded, certificate->cbCertEncoded, thumbprint)
               ? ERROR_SUCCESS
               : static_cast<LONG>(NTE_FAIL);
}

LONG OpenSignedBy(const std::wstring& path, const Thumbprint& expected,
                  win::UniqueFileHandle& held) {
    held.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) {
        return static_cast<LONG>(::GetLastError());
    }
    Thumbprint signer{};
    LONG result = VerifySignature(path, held.Get());
    if (result == ERROR_SUCCESS) {
        result = ReadSignerThumbprint(path, signer);
    }
    if (result == ERROR_SUCCESS && signer != expected) {
        result = kSignedByAnotherCertificate;
    }
    if (result != ERROR_SUCCESS) {
        held.Reset();
    }
    return result;
}
