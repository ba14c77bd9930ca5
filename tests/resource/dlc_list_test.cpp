#include "resource/dlc_list.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/writers/dlc_descriptor_writer.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace tallow::test {
namespace {

std::string le32(u32 v) { return dlc_le32(v); }
std::string descriptor(const std::string &name, const std::string &package) { return dlc_descriptor(name, package); }

class DlcListTest : public ::testing::Test {
  protected:
    DlcListTest() : registry(default_allocator(), "main") { mkdir(data.file("dlc").c_str(), 0755); }

    void put(const std::string &file, const std::string &bytes)
    {
        std::ofstream out(data.file("dlc") + "/" + file, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }

    std::set<std::string> scan(DlcList &list)
    {
        EXPECT_TRUE(list.start_scan());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!list.scan_done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(list.scan_done());
        Array<DlcEntry> found(default_allocator());
        list.result(found);
        std::set<std::string> names;
        for (const DlcEntry &e : found)
            names.insert(std::string(e.name.c_str()) + "=" + e.package.c_str());
        return names;
    }

    TempDirectory data;
    ThreadRegistry registry;
};

TEST_F(DlcListTest, NameFilter)
{
    struct Case {
        const char *name;
        bool accepted;
    };
    const Case cases[] = {
        {"0123456789abcdef", true},  {"0123456789ABCDEF", true}, {"0123456789abcde", false},
        {"0123456789abcdef0", false}, {"0123456789abcdeg", false}, {"", false},
        {".123456789abcdef", false}, {"0123456789abcde.", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_dlc_descriptor_name(c.name), c.accepted);
    }
}

TEST_F(DlcListTest, DescriptorLayout)
{
    std::string five = descriptor("hello", "content/extra");
    // A name of length 5 is followed by 6 bytes (text and zero) before the package length.
    EXPECT_EQ(five.substr(8, 6), std::string("hello\0", 6));
    DlcEntry entry(default_allocator());
    ASSERT_TRUE(read_dlc_descriptor(reinterpret_cast<const u8 *>(five.data()), five.size(), entry));
    EXPECT_STREQ(entry.name.c_str(), "hello");
    EXPECT_STREQ(entry.package.c_str(), "content/extra");

    std::string no_zero = five;
    no_zero[13] = 'x';
    const std::pair<const char *, std::string> broken[] = {
        {"empty", ""},
        {"cut in the package", five.substr(0, five.size() - 1)},
        {"every prefix 0..8", five.substr(0, 8)},
        {"name length past the end", le32(0) + le32(1000) + "abc"},
        {"name length wraps", le32(0) + le32(0xFFFFFFFFu) + "abc"},
        {"no zero after the name", no_zero},
    };
    for (const auto &[what, bytes] : broken) {
        SCOPED_TRACE(what);
        DlcEntry e(default_allocator());
        EXPECT_FALSE(read_dlc_descriptor(reinterpret_cast<const u8 *>(bytes.data()), bytes.size(), e));
    }
    for (size_t n = 0; n < five.size(); ++n) {
        DlcEntry e(default_allocator());
        EXPECT_FALSE(read_dlc_descriptor(reinterpret_cast<const u8 *>(five.data()), n, e)) << n;
    }
}

TEST_F(DlcListTest, ScanFindsValidDescriptorsOnly)
{
    DlcList list(registry, data.path());
    EXPECT_TRUE(list.scan_done()) << "done before any scan";
    put("00000000000000AA", descriptor("alpha", "dlc/alpha"));
    put("00000000000000bb", descriptor("beta", "dlc/beta"));
    put("00000000000000c", descriptor("short", "x"));
    put("00000000000000ccc", descriptor("long", "x"));
    put("000000000000000g", descriptor("nothex", "x"));
    put("00000000000000dd", le32(0) + le32(999) + "broken");
    EXPECT_EQ(scan(list), (std::set<std::string>{"alpha=dlc/alpha", "beta=dlc/beta"}));

    // A new scan clears the previous result.
    std::remove((data.file("dlc") + "/00000000000000bb").c_str());
    EXPECT_EQ(scan(list), (std::set<std::string>{"alpha=dlc/alpha"}));
}

TEST_F(DlcListTest, MissingFolderGivesAnEmptyList)
{
    TempDirectory empty;
    DlcList list(registry, empty.path());
    EXPECT_TRUE(scan(list).empty());
}

// Scans started again and again, and a list destroyed while scanning, leave no thread
// behind; a second scan while one runs is refused.
TEST_F(DlcListTest, RepeatedScansLeaveNoThreadUnjoined)
{
    for (int i = 0; i < 64; ++i)
        put(std::string(14, '0') + char('a' + i / 16) + "0123456789abcdef"[i % 16], descriptor("n" + std::to_string(i), "p"));
    {
        DlcList list(registry, data.path());
        for (int round = 0; round < 20; ++round)
            EXPECT_EQ(scan(list).size(), 64u);
        ASSERT_TRUE(list.start_scan());
        // Either refused because the first still runs, or started after it finished.
        (void)list.start_scan();
    } // destroyed while scanning: joins
    EXPECT_EQ(registry.thread_count(), 1u);
}

} // namespace
} // namespace tallow::test
