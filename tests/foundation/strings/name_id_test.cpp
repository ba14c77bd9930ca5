#include "foundation/strings/name_id.h"

#include <gtest/gtest.h>

#include <string>

namespace tallow {
namespace {

// A second MurmurHash64A written from the published description, kept deliberately
// different in shape from the engine's: whole input as bytes, blocks assembled byte by
// byte, the tail folded in a loop.
u64 reference_murmur64a(const std::string &bytes, u64 seed)
{
    const u64 m = 0xC6A4A7935BD1E995ull;
    const u64 n = bytes.size();
    u64 h = seed ^ (n * m);
    u64 i = 0;
    for (; i + 8 <= n; i += 8) {
        u64 k = 0;
        for (int b = 7; b >= 0; --b)
            k = (k << 8) | u8(bytes[i + b]);
        k *= m;
        k ^= k >> 47;
        k *= m;
        h ^= k;
        h *= m;
    }
    if (i < n) {
        u64 tail = 0;
        for (u64 b = n; b > i; --b)
            tail = (tail << 8) | u8(bytes[b - 1]);
        h ^= tail;
        h *= m;
    }
    h ^= h >> 47;
    h *= m;
    h ^= h >> 47;
    return h;
}

u32 reference_murmur2(const std::string &bytes, u32 seed)
{
    const u32 m = 0x5BD1E995u;
    const u32 n = u32(bytes.size());
    u32 h = seed ^ n;
    u32 i = 0;
    for (; i + 4 <= n; i += 4) {
        u32 k = u32(u8(bytes[i])) | u32(u8(bytes[i + 1])) << 8 | u32(u8(bytes[i + 2])) << 16 | u32(u8(bytes[i + 3])) << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
    }
    if (i < n) {
        u32 tail = 0;
        for (u32 b = n; b > i; --b)
            tail = (tail << 8) | u8(bytes[b - 1]);
        h ^= tail;
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// Values computed independently (a separate script over the published algorithms).
struct HashCase {
    const char *text;
    u64 id64;
    u32 hash32;
};
const HashCase hash_cases[] = {
    {"", 0x0000000000000000ull, 0x00000000u},
    {"a", 0x071717D2D36B6B11ull, 0x92685F5Eu},
    {"ab", 0x62BE85B2FE53D1F8ull, 0x1AA14063u},
    {"abc", 0x9CC9C33498A95EFBull, 0x13577C9Bu},
    {"unit", 0xE0A48D0BE9A7453Full, 0x516224CFu},
    {"level", 0x2A690FD348FE9AC5ull, 0x349657F7u},
    {"texture", 0xCD4238C6A0C69E32ull, 0x0DEED4F7u},
    {"material", 0xEAC0B497876ADEDFull, 0x46807A92u},
    {"settings.ini", 0x2A4E7E09AC175FFFull, 0x9B67E510u},
    {"resource_loader", 0x53D2B352FE17DE85ull, 0x009899E8u},
    {"render_config", 0x27862FE24795319Cull, 0xBB7FB38Eu},
    {"0123456789abcdef", 0x93A92D1A91A24BC7ull, 0xCF9AF71Au},
    {"\xc3\xa9t\xc3\xa9/\xe2\x98\x83", 0x8CD521F94D5D2947ull, 0xD4396812u},
};

TEST(NameId, HashVectorsMatchPublishedAlgorithms)
{
    for (const HashCase &c : hash_cases) {
        SCOPED_TRACE(c.text);
        NameId64 id(c.text);
        EXPECT_EQ(id.value(), c.id64);
        EXPECT_EQ(id.value(), reference_murmur64a(c.text, 0));
        EXPECT_EQ(NameId32(c.text).value(), u32(c.id64 >> 32));
        EXPECT_EQ(murmur_hash_32(c.text, u32(std::string(c.text).size()), 0), c.hash32);
        EXPECT_EQ(id.is_empty(), c.text[0] == 0);
    }
    EXPECT_EQ(NameId64("unit").low(), 0xE9A7453Fu);
    EXPECT_EQ(NameId64("unit").high(), 0xE0A48D0Bu);
}

TEST(NameId, AgreesWithReferenceOverEveryTailLengthSeedAndByteValue)
{
    // Lengths 0..40 cover every tail length of both hashes several times; all byte
    // values (with the sign bit) appear in the inputs.
    std::string text;
    for (int length = 0; length <= 40; ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(murmur_hash_64(text.data(), u32(text.size()), 0), reference_murmur64a(text, 0));
        EXPECT_EQ(murmur_hash_64(text.data(), u32(text.size()), 0x9747B28Cull), reference_murmur64a(text, 0x9747B28Cull));
        EXPECT_EQ(murmur_hash_32(text.data(), u32(text.size()), 0), reference_murmur2(text, 0));
        EXPECT_EQ(murmur_hash_32(text.data(), u32(text.size()), 0x9747B28Cu), reference_murmur2(text, 0x9747B28Cu));
        text.push_back(char(length * 37 + 200));
    }
}

TEST(NameId, LengthFormAndNullAndCompileTime)
{
    const char buffer[] = "unit_resource";
    EXPECT_EQ(NameId64(buffer, 4), NameId64("unit"));
    EXPECT_EQ(NameId32(buffer, 4), NameId32("unit"));
    EXPECT_EQ(NameId32(NameId64("unit")), NameId32("unit"));
    EXPECT_TRUE(NameId64(nullptr).is_empty());
    EXPECT_TRUE(NameId64().is_empty());
    EXPECT_NE(NameId64("unit"), NameId64("Unit"));
    constexpr NameId64 compile_time("level");
    static_assert(compile_time.value() == 0x2A690FD348FE9AC5ull);
    // The compile-time path reads blocks byte by byte; check it over whole blocks too.
    static_assert(NameId64("resource_loader").value() == 0x53D2B352FE17DE85ull);
    static_assert(NameId64("0123456789abcdef").value() == 0x93A92D1A91A24BC7ull);
    static_assert(murmur_hash_32("settings.ini", 12, 0) == 0x9B67E510u);
    EXPECT_EQ(NameId64::from_value(0x2A690FD348FE9AC5ull), compile_time);
}

} // namespace
} // namespace tallow
