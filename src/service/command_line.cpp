#include "service/command_line.h"

#include "text/ascii_case.h"

std::vector<OptionPair> ParseCommandLine(const std::wstring& commandLine) {
    std::vector<OptionPair> pairs;
    std::wstring name;
    std::wstring value;
    bool inName = false;
    for (const wchar_t c : commandLine) {
        if (inName) {
            if (c == L' ') {
                inName = false;
            } else {
                name += c;
            }
            continue;
        }
        if (c == L'-' || c == L'/') {
            if (!name.empty() || !value.empty()) {
                pairs.emplace_back(name, value);
            }
            name.assign(1, c);
            value.clear();
            inName = true;
        } else {
            value += c;
        }
    }
    if (!name.empty() || !value.empty()) {
        pairs.emplace_back(name, value);
    }
    return pairs;
}

std::wstring ToLowerCopy(const std::wstring& text) {
    std::wstring lower(text);
    for (wchar_t& c : lower) {
        c = text::LowerAscii(c);
    }
    return lower;
}

std::uint32_t DispatchOptions(const std::vector<OptionPair>& pairs, const CommandTable& table) {
    std::uint32_t result = 0;
    for (const OptionPair& pair : pairs) {
        const std::wstring& name = pair.first;
        const std::wstring key = ToLowerCopy(name.size() < 2 ? std::wstring() : name.substr(1));
        for (const CommandEntry& entry : table) {
            if (entry.key == key) {
                result = entry.handler();
                break;
            }
        }
    }
    return result;
}
