#include "supervisor.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct VersionCase {
    const char* text;
    uint32_t packed;
    int order; // sign of the comparison with the record version
};

const VersionCase kVersions[] = {
    {"4.8.01.1", 0x04080101, 0},
    {"4.8.1.1", 0x04080101, 0},
    {"4.8.01.1.7", 0x04080101, 0},
    {"4..8.01.1", 0x04080101, 0},
    {".4.8.01.1", 0x04080101, 0},
    {"260.8.1.1", 0x04080101, 0},
    {"4.8.1", 0x04080100, -1},
    {"4.8.0.255", 0x040800FF, -1},
    {"4.7.99.99", 0x04076363, -1},
    {"", 0x00000000, -1},
    {"...", 0x00000000, -1},
    {"4.8.01.2", 0x04080102, 1},
    {"4.9", 0x04090000, 1},
    {"10.0.0.0", 0x0A000000, 1},
    {"4.8.01.1a", 0x0408013B, 1},
    // Packed values from 0x84080101 up are newer, not older: compared unsigned.
    {"x4.8.01.1", 0xD4080101, 1},
    {"200.0.0.0", 0xC8000000, 1},
    {"132.8.1.1", 0x84080101, 1},
    {"132.8.1.0", 0x84080100, 1},
    {"255.255.255.255", 0xFFFFFFFF, 1},
    {"\xff.8.1.1", 0xCF080101, 1},
};

TEST(Version, PackAndCompareWithRecordVersion)
{
    for (const VersionCase& c : kVersions) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(version_pack(c.text), c.packed);
        int order = version_compare(c.text, RECORD_VERSION);
        EXPECT_EQ((order > 0) - (order < 0), c.order);
        EXPECT_EQ(version_compare(RECORD_VERSION, c.text) < 0, c.order > 0);
    }
}

TEST(Version, TextInWritableMemoryComparesEqualToItself)
{
    // A version text comes from a parsed record, in writable memory. Packing it must not
    // split it in place at the dots: the same text packed again would then give only its
    // first field, and a text would differ from itself.
    for (const VersionCase& c : kVersions) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(version_compare(&text[0], &text[0]), 0);
        EXPECT_EQ(version_pack(&text[0]), c.packed);
        EXPECT_EQ(text, c.text);
    }
}

} // namespace
