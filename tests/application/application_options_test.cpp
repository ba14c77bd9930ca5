#include "application/application_options.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace tallow;

namespace {

struct Args {
    std::vector<const char *> argv;
    Args(std::initializer_list<const char *> list) : argv(list) {}
    int argc() const { return int(argv.size()); }
    const char *const *data() const { return argv.data(); }
};

TEST(ApplicationOptions, DefaultsWithoutArguments)
{
    Args a{"/opt/game/bin/tallow"};
    ApplicationOptions o(default_allocator(), a.argc(), a.data());
    EXPECT_STREQ(o.data_dir.c_str(), "/opt/game/bin");
    EXPECT_STREQ(o.data_directory(), "/opt/game/bin");
    EXPECT_STREQ(o.settings_file_name.c_str(), "settings.ini");
    EXPECT_STREQ(o.editor_settings_file_name.c_str(), "");
    EXPECT_STREQ(o.compile_platform.c_str(), "win32");
    EXPECT_EQ(o.rect_x, -1);
    EXPECT_EQ(o.rect_y, -1);
    EXPECT_EQ(o.rect_width, -1);
    EXPECT_EQ(o.rect_height, -1);
    EXPECT_EQ(o.parent_window, 0);
    EXPECT_FLOAT_EQ(o.wait_after_error_seconds, 10.0f);
    EXPECT_EQ(o.pumped, 0);
    EXPECT_EQ(o.hold, 0);

    Args bare{"tallow"};
    ApplicationOptions b(default_allocator(), bare.argc(), bare.data());
    EXPECT_STREQ(b.data_dir.c_str(), "");
    Args windows{"C:\\game\\tallow.exe"};
    ApplicationOptions w(default_allocator(), windows.argc(), windows.data());
    EXPECT_STREQ(w.data_dir.c_str(), "C:\\game");
}

// Each case parses a command line and checks one string field.
struct StringCase {
    const char *name;
    std::vector<const char *> argv;
    DynamicString ApplicationOptions::*field;
    const char *expected;
};

TEST(ApplicationOptions, StringOptionsAndSubstitution)
{
    const StringCase cases[] = {
        {"ini gets .ini", {"p/t", "-ini", "game"}, &ApplicationOptions::settings_file_name, "game.ini"},
        {"ini twice suffixed", {"p/t", "-ini", "game.ini"}, &ApplicationOptions::settings_file_name, "game.ini.ini"},
        {"editor ini", {"p/t", "-editor-ini", "ed"}, &ApplicationOptions::editor_settings_file_name, "ed.ini"},
        {"substitution", {"p/t", "-@1", "D:/data", "-data-dir", "@1/win32"}, &ApplicationOptions::data_dir, "D:/data/win32"},
        {"substitution not yet given is empty", {"p/t", "-data-dir", "@1/win32", "-@1", "D:/data"}, &ApplicationOptions::data_dir, "/win32"},
        {"substitution twice in a value", {"p/t", "-@2", "x", "-host", "@2-@2"}, &ApplicationOptions::host, "x-x"},
        {"at before a non-digit stays", {"p/t", "-host", "me@example.org"}, &ApplicationOptions::host, "me@example.org"},
        {"at at the end stays", {"p/t", "-host", "trailing@"}, &ApplicationOptions::host, "trailing@"},
        {"value names its own substitution", {"p/t", "-@3", "a@3b", "-@3", "[@3]", "-host", "@3"}, &ApplicationOptions::host, "[ab]"},
        {"substitution values are resolved when given", {"p/t", "-@4", "x", "-@5", "@4", "-host", "@5@4"}, &ApplicationOptions::host, "xx"},
        {"after -- ignored", {"p/t", "-host", "a", "--", "-host", "b"}, &ApplicationOptions::host, "a"},
        {"unknown arguments skipped", {"p/t", "-what", "-host", "h", "stray"}, &ApplicationOptions::host, "h"},
        {"value taken as given", {"p/t", "-data-dir", "-ini"}, &ApplicationOptions::data_dir, "-ini"},
        {"case-sensitive", {"p/t", "-HOST", "x"}, &ApplicationOptions::host, ""},
        {"compile-for", {"p/t", "-compile-for", "ps3"}, &ApplicationOptions::compile_platform, "ps3"},
        {"bad -@x ignored, rest parsed", {"p/t", "-@x", "-host", "h"}, &ApplicationOptions::host, "h"},
        {"bare -@ ignored", {"p/t", "-@", "-host", "h"}, &ApplicationOptions::host, "h"},
        {"missing value at the end", {"p/t", "-host"}, &ApplicationOptions::host, ""},
        {"missing substitution value at the end", {"p/t", "-host", "@7", "-@7"}, &ApplicationOptions::host, ""},
    };
    for (const StringCase &c : cases) {
        SCOPED_TRACE(c.name);
        ApplicationOptions o(default_allocator(), int(c.argv.size()), c.argv.data());
        EXPECT_STREQ((o.*c.field).c_str(), c.expected);
    }
}

TEST(ApplicationOptions, NumbersFlagsAndLists)
{
    Args a{"p/t", "-rect", "10", "20", "800", "600", "-window", "4242", "-port", "-17x", "-wait", "1.5e1",
           "-wait-after-error", "abc", "-pumped", "-hold", "-compile", "-compiler-server", "-continue",
           "-recompile", "a", "-recompile", "@1b", "-bundled-project", "proj"};
    ApplicationOptions o(default_allocator(), a.argc(), a.data());
    EXPECT_EQ(o.rect_x, 10);
    EXPECT_EQ(o.rect_y, 20);
    EXPECT_EQ(o.rect_width, 800);
    EXPECT_EQ(o.rect_height, 600);
    EXPECT_EQ(o.parent_window, 4242);
    EXPECT_EQ(o.port, -17);
    EXPECT_FLOAT_EQ(o.wait_seconds, 15.0f);
    EXPECT_FLOAT_EQ(o.wait_after_error_seconds, 0.0f);
    EXPECT_EQ(o.pumped, 1);
    EXPECT_EQ(o.hold, 1);
    EXPECT_EQ(o.compile, 1);
    EXPECT_EQ(o.compiler_server, 1);
    EXPECT_EQ(o.continue_flag, 1);
    ASSERT_EQ(o.recompile.size(), 2u);
    EXPECT_STREQ(o.recompile[0].c_str(), "a");
    EXPECT_STREQ(o.recompile[1].c_str(), "@1b"); // recompile entries are not substituted
    EXPECT_STREQ(o.project.c_str(), "proj");
    EXPECT_EQ(o.project_uses_bundles, 1u);

    // "-rect" short of values at the end changes nothing.
    Args short_rect{"p/t", "-rect", "1", "2", "3"};
    ApplicationOptions s(default_allocator(), short_rect.argc(), short_rect.data());
    EXPECT_EQ(s.rect_x, -1);
    EXPECT_EQ(s.rect_height, -1);
}

TEST(ApplicationOptions, NumberReading)
{
    struct Case {
        const char *text;
        i32 integer;
        f64 seconds;
    };
    const Case cases[] = {
        {"", 0, 0.0},           {"12", 12, 12.0},        {"+7", 7, 7.0},
        {"-3", -3, -3.0},       {"42abc", 42, 42.0},     {"x9", 0, 0.0},
        {"99999999999", INT32_MAX, 99999999999.0},        {"-99999999999", INT32_MIN, -99999999999.0},
        {"0.25", 0, 0.25},      {".5", 0, 0.5},          {"2e-1", 2, 0.2},
        {"inf", 0, 0.0},        {"nan", 0, 0.0},         {"0x10", 0, 0.0},
        {"1e999", 1, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_option_integer(c.text), c.integer);
        EXPECT_DOUBLE_EQ(parse_option_seconds(c.text), c.seconds);
    }
}

TEST(ApplicationOptions, DataDirectoryRule)
{
    struct Case {
        const char *name;
        std::vector<const char *> argv;
        const char *expected;
        const char *bundles; // null: the loose-file database is the resource source
    };
    const Case cases[] = {
        {"bundle dir without project", {"d/t", "-bundle-dir", "B"}, "B", "B"},
        {"host and project without bundles", {"d/t", "-host", "h", "-project", "p", "-bundle-dir", "B"}, "d", "B"},
        {"host and project, no bundle dir", {"d/t", "-host", "h", "-project", "p"}, "d", nullptr},
        {"host and bundled project", {"d/t", "-host", "h", "-bundled-project", "p", "-bundle-dir", "B"}, "B", "B"},
        {"project without host uses the bundle dir", {"d/t", "-project", "p", "-bundle-dir", "B"}, "B", "B"},
        {"data dir option", {"d/t", "-data-dir", "/data"}, "/data", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ApplicationOptions o(default_allocator(), int(c.argv.size()), c.argv.data());
        EXPECT_STREQ(o.data_directory(), c.expected);
        EXPECT_EQ(o.uses_bundles(), c.bundles != nullptr);
        if (c.bundles) {
            EXPECT_STREQ(o.bundle_directory(), c.bundles);
        }
    }
}

TEST(ApplicationOptions, ParsesFromDynamicStringArguments)
{
    Array<DynamicString> arguments(default_allocator());
    arguments.push_back(DynamicString("x/y/prog", default_allocator()));
    arguments.push_back(DynamicString("-ini", default_allocator()));
    arguments.push_back(DynamicString("s", default_allocator()));
    ApplicationOptions o(default_allocator(), arguments);
    EXPECT_STREQ(o.data_dir.c_str(), "x/y");
    EXPECT_STREQ(o.settings_file_name.c_str(), "s.ini");

    Array<DynamicString> empty(default_allocator());
    ApplicationOptions e(default_allocator(), empty);
    EXPECT_STREQ(e.data_dir.c_str(), "");
}

} // namespace
