#include "platform/smbios_lite.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <utility>
#include "smbios_builders.h"

using namespace QVBiosUpdate;
using namespace smbios_test;

#ifdef _WIN32
#include <windows.h>

static bool guardNext = false;

void* operator new(std::size_t size) {
    if (!std::exchange(guardNext, false)) {
        return std::malloc(size + 1);
    }
    auto* pages = static_cast<char*>(::VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_NOACCESS));
    ::VirtualAlloc(pages, 0x10000, MEM_COMMIT, PAGE_READWRITE);
    return pages + 0x10000 - size;
}
#endif

// The types of the structures parsed from |data|, in table order. Windows has no sanitizer: there
// the bytes lie right before an inaccessible page (and stay), so that a read past them fails.
static std::string Types(const Bytes& data) {
#ifdef _WIN32
    guardNext = true;
    Bytes bytes(data);  // allocated before the table is
    const SmbiosLite& table = *new SmbiosLite(std::move(bytes));
#else
    const SmbiosLite table(data);
#endif
    std::string types;
    for (const SmbiosLite::Structure& structure : table.Structures()) {
        types += std::to_string(structure.type) + " ";
    }
    return types;
}

TEST(SmbiosLiteTest, ParseStopsAtTheFirstFaultAndKeepsTheStructuresBefore) {
    const auto Cut = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); };
    const Bytes chassis = Structure(3, 0x0D, {1, 9}, {"QV"}), empty = Structure(0x20, 0x0B, {}, {});
    // One 00 may close an empty string set, though not as the last byte; the end-of-table type
    // is not special.
    EXPECT_EQ(Types(Table({empty, chassis, Cut(empty, 12), EndOfTable(), chassis, empty})),
              "32 3 32 127 3 32 ");
    EXPECT_EQ(Types(Table({chassis, Structure(0x20, 4, {}, {})})), "3 32 ");  // six bytes
    const Bytes text = Structure(1, 8, {}, {"text"});
    for (const Bytes& fault : {Structure(1, 3, {}, {}), Cut(Structure(0x20, 4, {}, {}), 5),
                               Cut(empty, 12), Cut(empty, 11), Cut(text, 12), Cut(text, 13)}) {
        EXPECT_THROW(SmbiosLite{fault}, std::runtime_error);
        EXPECT_EQ(Types(Table({chassis, fault})), "3 ");
    }
    EXPECT_THROW(SmbiosLite{Bytes{}}, std::runtime_error);
    EXPECT_EQ(CutToStatedSize({1, 2, 3}, 2), (Bytes{1, 2}));
}
