#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/output_archive.h"
#include "tests/support/writers/segment_stream_writer.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace tallow {
namespace {

class DiskFileSystemTest : public testing::Test {
  protected:
    Allocator &a = default_allocator();
    test::TempDirectory dir;
    DiskFileSystem fs{dir.path(), a};

    void write_file(const char *name, const std::vector<u8> &bytes)
    {
        OutputArchive out(fs.open_output(name, a, false));
        out.write(bytes.data(), bytes.size());
        ASSERT_TRUE(out.flush());
    }
    std::vector<u8> read_file(const char *name, bool read_ahead)
    {
        InputArchive in(fs.open_input(name, a, read_ahead));
        std::vector<u8> bytes(in.size());
        EXPECT_TRUE(in.read(bytes.data(), bytes.size()));
        return bytes;
    }
};

TEST_F(DiskFileSystemTest, ReadsExactlyTheFileAcrossWindowsAndSeeks)
{
    for (u32 size : {0u, 1u, 32767u, 32768u, 32769u, 65536u, 100000u}) {
        std::vector<u8> bytes = test::sample_bytes(size, size, 50);
        write_file("f.bin", bytes);
        EXPECT_EQ(fs.file_size("f.bin"), size);
        for (bool read_ahead : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (read_ahead ? " read-ahead" : " plain"));
            InputArchive in(fs.open_input("f.bin", a, read_ahead));
            ASSERT_EQ(in.size(), size);
            // Odd-sized reads, then a seek backwards and one forwards.
            std::vector<u8> back(size);
            for (u64 at = 0; at < size; at += 3001)
                ASSERT_TRUE(in.read(back.data() + at, std::min<u64>(3001, size - at)));
            EXPECT_TRUE(back == bytes);
            for (u64 target : {u64(size / 3), u64(size / 2), u64(size > 5 ? size - 5 : 0)}) {
                in.seek(target);
                u64 n = std::min<u64>(40000, size - target);
                std::vector<u8> part(n);
                ASSERT_TRUE(in.read(part.data(), n));
                EXPECT_TRUE(std::equal(part.begin(), part.end(), bytes.begin() + target));
            }
            u8 past;
            EXPECT_FALSE(in.read(past)) << "nothing after the end";
        }
    }
}

TEST_F(DiskFileSystemTest, FileShrunkWhileOpenFailsInsteadOfStaleBytes)
{
    write_file("f.bin", test::sample_bytes(100000, 1, 50));
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "plain");
        InputArchive in(fs.open_input("f.bin", a, read_ahead));
        write_file("f.bin", test::sample_bytes(40000, 1, 50)); // truncates the open file
        std::vector<u8> bytes(100000);
        EXPECT_FALSE(in.read(bytes.data(), bytes.size()));
        EXPECT_TRUE(in.has_failed());
        write_file("f.bin", test::sample_bytes(100000, 1, 50));
    }
}

TEST_F(DiskFileSystemTest, AppendCreatesOrContinues)
{
    {
        OutputArchive out(fs.open_output("log.txt", a, true));
        out.write("abc", 3);
        ASSERT_TRUE(out.flush());
    }
    {
        OutputArchive out(fs.open_output("log.txt", a, true));
        EXPECT_EQ(out.position(), 3u);
        out.write("de", 2);
        ASSERT_TRUE(out.flush());
    }
    EXPECT_EQ(read_file("log.txt", false), (std::vector<u8>{'a', 'b', 'c', 'd', 'e'}));
    {
        OutputArchive out(fs.open_output("log.txt", a, false));
        out.write("x", 1);
    }
    EXPECT_EQ(read_file("log.txt", false), (std::vector<u8>{'x'}));
}

TEST_F(DiskFileSystemTest, SeekingBackPatchesTheFile)
{
    {
        OutputArchive out(fs.open_output("p.bin", a, false));
        std::vector<u8> big(70000, 7);
        u32 zero = 0;
        out.write(zero);
        out.write(big.data(), big.size());
        u64 end = out.position();
        out.seek(0);
        out.write(u32(end));
        out.seek(end);
        out.write(u8(9));
        ASSERT_TRUE(out.flush());
    }
    std::vector<u8> bytes = read_file("p.bin", true);
    ASSERT_EQ(bytes.size(), 70005u);
    u32 head;
    memcpy(&head, bytes.data(), 4);
    EXPECT_EQ(head, 70004u);
    EXPECT_EQ(bytes.back(), 9);
}

TEST_F(DiskFileSystemTest, MissingFilesGiveNullBuffers)
{
    EXPECT_FALSE(fs.exists("none.bin"));
    EXPECT_EQ(fs.file_size("none.bin"), 0u);
    EXPECT_TRUE(fs.open_input("none.bin", a, true).is_null());
    EXPECT_TRUE(fs.open_output("no/such/dir/x.bin", a, false).is_null());
    InputArchive in(fs.open_input("none.bin", a, false));
    u32 v;
    EXPECT_FALSE(in.read(v));
}

TEST(DiskFileSystem, WriteErrorsAreReported)
{
    Allocator &a = default_allocator();
    DiskFileSystem root("", a);
    auto buffer = root.open_output("/dev/full", a, false);
    if (!buffer)
        GTEST_SKIP() << "/dev/full is not available";
    OutputArchive out(buffer);
    std::vector<u8> bytes(100000, 1);
    out.write(bytes.data(), bytes.size());
    EXPECT_FALSE(out.flush());
    EXPECT_FALSE(out.write(bytes.data(), 10)) << "the failure is sticky";
}

// Renaming never replaces a file: the save rotation depends on it.
TEST_F(DiskFileSystemTest, RenameNeverReplaces)
{
    write_file("a.sav", {1});
    write_file("b.sav", {2});
    EXPECT_FALSE(fs.rename("a.sav", "b.sav"));
    EXPECT_EQ(read_file("a.sav", false), std::vector<u8>{1});
    EXPECT_EQ(read_file("b.sav", false), std::vector<u8>{2});
    EXPECT_TRUE(fs.delete_file("b.sav"));
    EXPECT_FALSE(fs.exists("b.sav"));
    EXPECT_TRUE(fs.rename("a.sav", "b.sav"));
    EXPECT_FALSE(fs.exists("a.sav"));
    EXPECT_EQ(read_file("b.sav", false), std::vector<u8>{1});
    EXPECT_FALSE(fs.rename("missing.sav", "c.sav"));
    EXPECT_TRUE(fs.delete_file("missing.sav")) << "already gone";
}

TEST_F(DiskFileSystemTest, ReplaceSwapsInTheNewFileAndLinkKeepsTheOld)
{
    write_file("slot.sav", {1});
    write_file("slot.new", {2, 2});
    ASSERT_TRUE(fs.link("slot.sav", "slot.old"));
    EXPECT_FALSE(fs.link("slot.sav", "slot.old")) << "an existing name is never replaced by a link";
    ASSERT_TRUE(fs.replace("slot.new", "slot.sav"));
    EXPECT_FALSE(fs.exists("slot.new"));
    EXPECT_EQ(read_file("slot.sav", false), (std::vector<u8>{2, 2}));
    EXPECT_EQ(read_file("slot.old", false), std::vector<u8>{1}) << "the second name keeps the replaced file";
    EXPECT_FALSE(fs.replace("missing", "slot.sav"));
    EXPECT_EQ(read_file("slot.sav", false), (std::vector<u8>{2, 2}));
}

TEST_F(DiskFileSystemTest, ReplaceSwapsTheNewFileInWhole)
{
    write_file("settings.ini.tmp", {7, 8});
    write_file("settings.ini", {1});
    EXPECT_TRUE(fs.replace("settings.ini.tmp", "settings.ini"));
    EXPECT_FALSE(fs.exists("settings.ini.tmp"));
    EXPECT_EQ(read_file("settings.ini", false), (std::vector<u8>{7, 8}));
    EXPECT_TRUE(fs.replace("settings.ini", "fresh.ini")) << "a missing target is fine";
    EXPECT_FALSE(fs.replace("missing.ini", "fresh.ini"));
    EXPECT_EQ(read_file("fresh.ini", false), (std::vector<u8>{7, 8}));
}

TEST_F(DiskFileSystemTest, NamesFromDataSeparateWithEitherSlash)
{
    // A name written on another platform reaches the same file; no "\\" lands in a file name.
    ASSERT_TRUE(fs.create_directory("packages\\boot"));
    EXPECT_TRUE(fs.exists("packages/boot"));
    write_file("packages\\boot\\a.bin", {3});
    EXPECT_EQ(read_file("packages/boot/a.bin", false), std::vector<u8>{3});
    EXPECT_TRUE(fs.exists("packages\\boot/a.bin"));
    EXPECT_EQ(fs.file_size("packages\\boot\\a.bin"), 1u);
    Array<DynamicString> names(a);
    ASSERT_TRUE(fs.list_files("packages\\boot", names));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_STREQ(names[0].c_str(), "a.bin");
    EXPECT_TRUE(fs.rename("packages\\boot\\a.bin", "packages/b.bin"));
    EXPECT_TRUE(fs.exists("packages/b.bin"));
    EXPECT_TRUE(fs.delete_file("packages\\b.bin"));
    EXPECT_FALSE(fs.exists("packages/b.bin"));
}

TEST_F(DiskFileSystemTest, ListsFilesAndDirectoriesButNoDotNames)
{
    ASSERT_TRUE(fs.create_directory("d/sub"));
    write_file("d/one", {1});
    write_file("d/.hidden", {1});
    write_file("d/sub/deep", {1});
    Array<DynamicString> names(a);
    ASSERT_TRUE(fs.list_files("d", names));
    std::vector<std::string> got;
    for (const DynamicString &name : names)
        got.push_back(name.c_str());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"one", "sub"}));
    Array<DynamicString> none(a);
    EXPECT_FALSE(fs.list_files("missing", none));
    EXPECT_EQ(none.size(), 0u);
}

TEST_F(DiskFileSystemTest, CreateDirectoryMakesMissingParentsOfAbsolutePaths)
{
    DiskFileSystem root("", a);
    std::string deep = dir.file("x/y/z");
    ASSERT_TRUE(root.create_directory(deep.c_str()));
    EXPECT_TRUE(root.exists(deep.c_str()));
    EXPECT_TRUE(fs.create_directory("x/y/z")) << "existing: nothing to do";
    EXPECT_TRUE(fs.create_directory("x/y/w"));
    EXPECT_TRUE(fs.exists("x/y/w"));
    write_file("plain", {1});
    EXPECT_FALSE(fs.create_directory("plain/below"));
}

// Paths are formed per call: threads using the file system at once never see each
// other's names (the loader, save and content threads do this).
TEST_F(DiskFileSystemTest, ThreadsUseItAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t, &failures] {
            std::string name = "thread_" + std::to_string(t) + "_" + std::string(100, char('a' + t)) + ".bin";
            for (int round = 0; round < 20; ++round) {
                std::vector<u8> bytes = test::sample_bytes(5000 + round, u32(t * 100 + round), 50);
                {
                    OutputArchive out(fs.open_output(name.c_str(), a, false));
                    out.write(bytes.data(), bytes.size());
                    if (!out.flush())
                        ++failures[t];
                }
                InputArchive in(fs.open_input(name.c_str(), a, round % 2 == 0));
                std::vector<u8> back(bytes.size());
                if (in.size() != bytes.size() || !in.read(back.data(), back.size()) || back != bytes)
                    ++failures[t];
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

} // namespace
} // namespace tallow
