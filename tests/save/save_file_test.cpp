#include "tests/save/save_test_support.h"

#include <zlib.h>

#include <random>

namespace tallow::test {
namespace {

std::string sample_payload(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + i / 300) & 0xFF);
    return s;
}

void put_u32(std::string &file, size_t offset, u32 v)
{
    for (int i = 0; i < 4; ++i)
        file[offset + i] = char((v >> (8 * i)) & 0xFF);
}

TEST(SaveFileTest, RoundTripsPayloadsOfEverySize)
{
    for (size_t n : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(200000)}) {
        SCOPED_TRACE(n);
        std::string payload = sample_payload(n);
        std::string file = make_save_file(payload);
        ASSERT_GE(file.size(), save::save_file_header_bytes);
        EXPECT_EQ(unpack_save_file(file), payload);
    }
}

TEST(SaveFileTest, BrokenFilesAreReportedAsBroken)
{
    std::string good = make_save_file(sample_payload(5000));
    auto with_u32 = [&](size_t offset, u32 v) {
        std::string f = good;
        put_u32(f, offset, v);
        return f;
    };
    auto flipped = [&](size_t offset) {
        std::string f = good;
        f[offset] = char(f[offset] ^ 0x20);
        return f;
    };
    struct Case {
        const char *name;
        std::string file;
    };
    const Case cases[] = {
        {"empty", ""},
        {"shorter than the header", good.substr(0, 11)},
        {"cut inside the stream", good.substr(0, good.size() - 1)},
        {"one byte more", good + "x"},
        {"flipped payload byte", flipped(good.size() - 3)},
        {"flipped check value", flipped(0)},
        {"stream length past the file", with_u32(4, u32(good.size()))},
        {"huge stream length", with_u32(4, 0xFFFFFFF0u)},
        {"huge payload length", with_u32(8, 0xFFFFFFF0u)},
        {"payload length off by one", with_u32(8, 4999)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(unpack_save_file(c.file), "<broken>");
    }
}

// A forged file whose check value is right but whose lengths lie is still refused before
// anything is allocated or read by those lengths.
TEST(SaveFileTest, ForgedLengthsWithAValidCheckAreRefused)
{
    std::string good = make_save_file(sample_payload(100));
    for (u32 claimed : {101u, 70000u, 0x3FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(claimed);
        std::string f = good;
        put_u32(f, 8, claimed);
        u32 crc = u32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(f.data() + 4), uInt(f.size() - 4)));
        put_u32(f, 0, crc);
        EXPECT_EQ(unpack_save_file(f), "<broken>");
    }
}

TEST(SaveFileTest, RandomBytesNeverPassAsASave)
{
    std::mt19937 rng(3);
    std::string good = make_save_file(sample_payload(3000));
    for (int round = 0; round < 2000; ++round) {
        std::string f = good.substr(0, rng() % (good.size() + 1));
        if (!f.empty())
            f[rng() % f.size()] = char(rng());
        std::string result = unpack_save_file(f);
        EXPECT_TRUE(result == "<broken>" || f == good);
    }
}

} // namespace
} // namespace tallow::test
