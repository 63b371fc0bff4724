// Whether a file the service is about to start elevated was signed by whoever signed the
// service itself.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "win/unique_handle.h"

// The SHA-256 thumbprint of a certificate (of its DER encoding).
using Thumbprint = std::array<BYTE, 32>;

// TRUST_E_SUBJECT_NOT_TRUSTED: the answer for a file that carries a valid signature of another
// certificate than the service's own.
inline constexpr LONG kSignedByAnotherCertificate = static_cast<LONG>(0x800B0004L);

// Checks the Authenticode signature of the file open as |file| (at |path|; |file| may be null,
// then the path is opened): WinVerifyTrust with the generic verify action, no user interface,
// no revocation lookup over the network (the check runs at boot, often offline). When the
// signature is valid, |signer| receives the thumbprint of the leaf certificate of the very
// signature WinVerifyTrust judged, taken from its own state: the file is not read a second
// time. ERROR_SUCCESS, or the result of the check, or the error that kept the signer's
// certificate from being read; |signer| is left unchanged on failure.
LONG VerifySignature(const std::wstring& path, HANDLE file, Thumbprint& signer);

// Opens |path| for reading, sharing only reading, so that no one can change, rename or delete
// it while the handle is open, and checks that it carries a valid signature of the certificate
// with |expected| as thumbprint. ERROR_SUCCESS with |held| set, or the result of the check
// (kSignedByAnotherCertificate when the certificates differ) with |held| empty.
LONG OpenSignedBy(const std::wstring& path, const Thumbprint& expected,
                  win::UniqueFileHandle& held);
