// Splitting the service's command line into options and dispatching them. Portable: no
// Windows header, so it builds and is tested natively too.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// An option as written: the name with its leading "-" or "/", and everything up to the next
// option as value.
using OptionPair = std::pair<std::wstring, std::wstring>;

// Splits |commandLine| into options. A "-" or "/" anywhere outside a name starts a new option;
// a blank ends a name. Quotes are ordinary characters. Only an empty text gives no pairs.
std::vector<OptionPair> ParseCommandLine(const std::wstring& commandLine);

// A copy of |text| with each character lower-cased on its own by the classic locale.
std::wstring ToLowerCopy(const std::wstring& text);

struct CommandEntry {
    std::wstring key;                        // option name without "-" or "/", lower case
    std::function<std::uint32_t()> handler;  // result becomes the process exit code
};

using CommandTable = std::array<CommandEntry, 4>;

// Runs the handler of every pair whose name (less its first character, lower-cased) equals
// a key of |table| exactly, in the order of |pairs|. Returns the result of the last handler
// run, or 0 when none ran. Values are not used.
std::uint32_t DispatchOptions(const std::vector<OptionPair>& pairs, const CommandTable& table);
