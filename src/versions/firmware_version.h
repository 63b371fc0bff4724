// The firmware version model: how a BIOS version text, a capsule file name and a driver-store
// folder name become version fields, how four fields become one comparable number, and the
// text forms in which versions are logged.
//
// Portable: no Windows header. Every function is pure, keeps no state and may be called from
// any thread. Nothing here throws except by running out of memory.
//
// A version field is a signed 32-bit integer: 0 to 99 for a well-formed two-digit group, -1
// for a malformed one. Narrowed to a byte, a malformed field is 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Four one-byte fields in the low 32 bits, field 1 in bits 31 to 24 down to field 4 in bits
// 7 to 0; the high 32 bits are always 0. Compared as an unsigned integer; "newer" means
// strictly greater.
using FirmwareVersion = std::uint64_t;

// Size, terminator included, of the buffer FormatVersionDigits writes.
inline constexpr std::size_t kVersionDigitsBufferLength = 9;

// 10 * high + low when both characters are the decimal digits 0 to 9, otherwise -1.
int ParseDigitPair(wchar_t high, wchar_t low);

// Reads a BIOS version text such as "01.12.00" or "01.12.00.05": field 1 from characters 0
// and 1, field 2 from 3 and 4, field 3 from 6 and 7 (the separators are not examined), and
// field 4 from 9 and 10 when the text has at least 11 characters, otherwise 0.
// The text ends at its size or at its first zero character, whichever comes first; nothing
// beyond it is read. A group of fields 1 to 3 that lies (partly) beyond the text is malformed
// (-1), so the five-character form "12.05" gives 12, 5, -1, 0.
void ParseBiosVersionText(const std::wstring& text, int& field1, int& field2, int& field3,
                          int& field4);

// Reads the four two-digit groups at characters 4-5, 6-7, 8-9 and 10-11 of a capsule file
// name ("ABC_01120000.bin" gives 1, 12, 0, 0); a group that is not two digits gives 255.
// |name| is zero-terminated and may be null. A null name, or one of fewer than 12 characters
// (at most 260 characters are looked at), gives 0, 0, 0, 0. The family and the underscore are
// not examined.
void ParseCapsuleVersion(const wchar_t* name, std::uint8_t& b1, std::uint8_t& b2, std::uint8_t& b3,
                         std::uint8_t& b4);

// Whether |name| (a file's long name, zero-terminated, at most 260 characters looked at) is a
// capsule of |family| that may compete in the search: it matches "<family right-aligned in
// 3>_??????*.bin" itself, letter case ignored for ASCII letters, with each "?" standing for
// exactly one character and "*" for any run (no short-name or DOS wildcard rules); its version
// pairs at characters 4-9 are decimal digits; and characters 10-11 are digits too, or the ".b"
// of a six-digit name's ".bin". A null name is no capsule.
bool IsCapsuleCandidateName(const wchar_t* name, const std::wstring& family);

// b1 * 2^24 + b2 * 2^16 + b3 * 2^8 + b4. Callers holding 32-bit fields pass their low bytes.
FirmwareVersion MakeFirmwareVersion(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                    std::uint8_t b4);

// "%08llx" of the version: 0x010C0000 gives "010c0000".
std::wstring FormatVersionHex(FirmwareVersion version);

// "%2.2d.%2.2d.%2.2d.%2.2d" of the fields: 1, 12, 0, 0 gives "01.12.00.00"; -1 gives "-01".
std::wstring FormatVersionDotted(int field1, int field2, int field3, int field4);

// "%02d%02d%02d%02d" of the fields into |text|, always zero-terminated: 1, 12, 0, 0 gives
// "01120000". A field outside 0 to 99 makes the full text longer than the buffer holds; it is
// then cut to its first eight characters (1, 12, 0, 255 gives "01120025"), never written past
// the buffer.
void FormatVersionDigits(int field1, int field2, int field3, int field4,
                         wchar_t (&text)[kVersionDigitsBufferLength]);

// The version series of a driver-store folder name: the text strictly between the first "_"
// and the first ".inf" (exact case) of the name, when that "_" comes before the ".inf" and
// at least one character lies between them. "abc_01120000.inf_amd64_1f2e" gives "01120000";
// "abc.inf_x86", "abc_.inf_x86" and "abc_0112" give nothing. A series is never empty.
std::optional<std::wstring> ExtractVersionSeries(const std::wstring& folderName);

// Whether |series| is a firmware version series: exactly 6 or 8 decimal digits. Only such a
// series can tell whether the driver store holds newer firmware; another maker's package named
// "<family>_audio.inf..." must not.
bool IsDigitSeries(const std::wstring& series);

// The version series of |folderName| when it is a firmware package folder of |family| in the
// driver store: the family, "_", a series of 6 or 8 digits, ".inf", then nothing or "_" and the
// rest of the store's folder name ("abc_01130000.inf_amd64_1f2e" gives "01130000" for "ABC"),
// ASCII letter case ignored. Nothing for any other folder: another package ("abcd_01130000.inf_x",
// "abc_audio.inf_x"), or a name that merely begins like one. Only such a folder chooses the
// driver store and holds a capsule that counts there.
std::optional<std::wstring> FirmwarePackageSeries(const std::wstring& folderName,
                                                  const std::wstring& family);

// True when |series| sorts strictly after |installed|, comparing character codes over the
// common length; when one is a prefix of the other, the longer one sorts after. Equal texts,
// and an empty series, are never newer.
bool IsSeriesNewer(const std::wstring& series, const std::wstring& installed);
