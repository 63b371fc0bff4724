#include "simulation/simulation_settings.h"

#include <cstring>
#include <cwchar>

namespace simulation {
namespace {

// Reads a value of |expectedType|; nothing when it is missing or of another type.
std::optional<std::vector<std::uint8_t>> ReadValue(const wchar_t* name, DWORD expectedType) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_ANY, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != expectedType) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(size);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                       data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS ||
        type != expectedType) {
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

}  // namespace

std::optional<DWORD> ReadDwordSetting(const wchar_t* name) {
    const auto data = ReadValue(name, REG_DWORD);
    if (!data || data->size() != sizeof(DWORD)) {
        return std::nullopt;
    }
    DWORD value = 0;
    std::memcpy(&value, data->data(), sizeof(value));
    return value;
}

std::optional<std::uint64_t> ReadQwordSetting(const wchar_t* name) {
    const auto data = ReadValue(name, REG_QWORD);
    if (!data || data->size() != sizeof(std::uint64_t)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    std::memcpy(&value, data->data(), sizeof(value));
    return value;
}

std::optional<std::wstring> ReadStringSetting(const wchar_t* name) {
    const auto data = ReadValue(name, REG_SZ);
    if (!data) {
        return std::nullopt;
    }
    std::wstring text(data->size() / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], data->data(), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    return text;
}

std::optional<std::vector<std::uint8_t>> ReadBinarySetting(const wchar_t* name) {
    return ReadValue(name, REG_BINARY);
}

}  // namespace simulation
