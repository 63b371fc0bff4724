// Move-only owners for the COM resources of the WMI wrapper: interface pointers, BSTRs and
// VARIANTs. Each releases what it holds on every way out, like the handle owners of
// win/unique_handle.h, and none of them changes the thread's last error.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace QVBiosUpdate {

// Owns one reference to a COM interface.
template <typename Interface>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { Reset(); }

    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }

    Interface* Get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    // Releases the reference held, if any.
    void Reset() noexcept {
        if (Interface* old = std::exchange(pointer_, nullptr)) {
            const DWORD lastError = ::GetLastError();
            old->Release();
            ::SetLastError(lastError);
        }
    }

    // For calls that return a new reference through an out parameter: releases the current
    // one first.
    Interface** Put() noexcept {
        Reset();
        return &pointer_;
    }

    // The same, for calls typed void** (CoCreateInstance).
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

private:
    Interface* pointer_ = nullptr;
};

// Owns one BSTR. A null BSTR after construction from text means the allocation failed.
class UniqueBstr {
public:
    explicit UniqueBstr(const wchar_t* text) noexcept : value_(::SysAllocString(text)) {}
    ~UniqueBstr() {
        if (value_ != nullptr) {
            ::SysFreeString(value_);
        }
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    BSTR Get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != nullptr; }

private:
    BSTR value_;
};

// A VARIANT that is initialised on construction and cleared on destruction.
class ScopedVariant {
public:
    ScopedVariant() noexcept { ::VariantInit(&value_); }
    ~ScopedVariant() { ::VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT* Get() noexcept { return &value_; }
    VARTYPE Type() const noexcept { return value_.vt; }

private:
    VARIANT value_;
};

}  // namespace QVBiosUpdate
