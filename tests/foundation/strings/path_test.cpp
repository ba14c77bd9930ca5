#include "foundation/strings/path.h"

#include "foundation/strings/command_line.h"

#include <gtest/gtest.h>

#include "tests/foundation/strings/strings_test_allocator.h"

#include <string>
#include <vector>

namespace tallow {
namespace {

const std::string sep(1, path_separator);

TEST(Path, JoinFileNameAndDirectory)
{
    test::StringsTestAllocator alloc;
    struct Case {
        const char *path;
        const char *file_name;
        const char *directory;
    };
    const Case cases[] = {
        {"a\\b/c.txt", "c.txt", "a\\b"},
        {"a/b\\c", "c", "a/b"},
        {"dir\\", "", "dir"},
        {"dir/", "", "dir"},
        {"name", "name", ""},
        {"", "", ""},
        {"\\root", "root", ""},
        {"a\\\\b", "b", "a\\"},
        {"/", "", ""},
    };
    DynamicString out(alloc);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        path_file_name(c.path, out);
        EXPECT_STREQ(out.c_str(), c.file_name);
        path_directory(c.path, out);
        EXPECT_STREQ(out.c_str(), c.directory);
    }

    struct JoinCase {
        const char *directory;
        const char *name;
        std::string joined;
    };
    const JoinCase joins[] = {
        {"data", "settings.ini", "data" + sep + "settings.ini"},
        {"data", "", "data"},
        {"", "settings.ini", "settings.ini"},
        {"", "", ""},
        {"a\\b", "c/d", "a\\b" + sep + "c/d"},
        {"data/", "x", "data/x"},
        {"data\\", "x", "data\\x"},
    };
    for (const JoinCase &c : joins) {
        SCOPED_TRACE(c.joined);
        path_join(c.directory, c.name, out);
        EXPECT_EQ(out.c_str(), c.joined);
    }

    // Names from data: both separators become the host's; the directory stays as given.
    const JoinCase data_names[] = {
        {"root", "a\\b/c", "root" + sep + "a" + sep + "b" + sep + "c"},
        {"r\\s/", "x\\y", "r\\s/x" + sep + "y"},
        {"", "a\\b", "a" + sep + "b"},
        {"root", "", "root"},
    };
    for (const JoinCase &c : data_names) {
        SCOPED_TRACE(c.joined);
        path_join_data_name(c.directory, c.name, out);
        EXPECT_EQ(out.c_str(), c.joined);
    }

    // The output may be one of the inputs.
    out = "x\\y\\z";
    path_directory(out.c_str(), out);
    EXPECT_STREQ(out.c_str(), "x\\y");
    path_join(out.c_str(), out.c_str(), out);
    EXPECT_EQ(out.c_str(), "x\\y" + sep + "x\\y");
}

TEST(Path, Components)
{
    test::StringsTestAllocator alloc;
    struct Case {
        const char *path;
        std::vector<std::string> components;
    };
    const Case cases[] = {
        {"a\\b/c", {"a", "b", "c"}},
        {"single", {"single"}},
        {"", {}},
        {"\\lead", {"lead"}},
        {"trail/", {"trail", ""}},
        {"a//b", {"a", "", "b"}},
        {"/", {""}},
    };
    Array<DynamicString> components(alloc);
    components.push_back(DynamicString("stale", alloc));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        path_components(c.path, components);
        ASSERT_EQ(components.size(), c.components.size());
        for (u32 i = 0; i < components.size(); ++i)
            EXPECT_EQ(components[i].c_str(), c.components[i]);
    }
    components.clear();
    components.push_back(DynamicString("p\\q", alloc));
    path_components(components[0].c_str(), components); // the path lives in the array
    ASSERT_EQ(components.size(), 2u);
    EXPECT_STREQ(components[1].c_str(), "q");
}

TEST(CommandLine, ArgumentBlocksSplitWithinTheirBounds)
{
    test::StringsTestAllocator alloc;
    struct Case {
        const char *name;
        std::string block;
        std::vector<std::string> arguments;
    };
    const std::string overlong(5000, 'x'); // far beyond any fixed conversion buffer
    const Case cases[] = {
        {"usual", std::string("tallow\0-ini\0my settings.ini\0", 28), {"tallow", "-ini", "my settings.ini"}},
        {"empty argument kept", std::string("a\0\0b\0", 5), {"a", "", "b"}},
        {"missing last zero", std::string("a\0bc", 4), {"a", "bc"}},
        {"empty block", std::string(), {}},
        {"overlong argument", "p" + std::string(1, '\0') + overlong + std::string(1, '\0'), {"p", overlong}},
        {"utf-8 kept", std::string("\xC3\xA9t\xC3\xA9\0", 6), {"\xC3\xA9t\xC3\xA9"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> exact(c.block.begin(), c.block.end()); // heap block of exact size
        Array<DynamicString> arguments(alloc);
        split_argument_block(exact.data(), exact.size(), arguments);
        ASSERT_EQ(arguments.size(), c.arguments.size());
        for (u32 i = 0; i < arguments.size(); ++i)
            EXPECT_EQ(arguments[i].c_str(), c.arguments[i]);
    }
}

TEST(CommandLine, ProcessArgumentsStartWithTheProgram)
{
    test::StringsTestAllocator alloc;
    Array<DynamicString> arguments(alloc);
    ASSERT_TRUE(command_line_arguments(arguments));
    ASSERT_GE(arguments.size(), 1u);
    DynamicString name(alloc);
    path_file_name(arguments[0].c_str(), name);
    EXPECT_STREQ(name.c_str(), "foundation_tests");
}

} // namespace
} // namespace tallow
