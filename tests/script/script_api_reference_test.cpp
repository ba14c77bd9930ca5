// The script API reference (docs/script_api.md) names every function a script can reach.
#include "boot_script_fixture.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tallow::test {
namespace {

class ScriptApiReferenceTest : public BootScriptTest {
  protected:
    ScriptApiReferenceTest() { write_data({{"package", "boot", package_resource({})}}); }
};

TEST_F(ScriptApiReferenceTest, EveryRegisteredFunctionHasItsLine)
{
    std::ifstream file(TALLOW_SCRIPT_API_REFERENCE, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string reference = text.str();
    ASSERT_FALSE(reference.empty()) << TALLOW_SCRIPT_API_REFERENCE;

    // The whole API: the Application's game registers every table, as a run does.
    source.set("boot", "");
    ASSERT_TRUE(make().init());
    lua_State *L = static_cast<MyGame *>(app->game())->lua().state();
    std::vector<std::string> names = registered_functions(L);
    ASSERT_GT(names.size(), 50u);
    std::vector<std::string> missing;
    for (const std::string &name : names) {
        // A line of the reference begins "- `Name(" or "- `Name`", so "Unit.node" is not
        // taken for "Unit.node_position".
        if (reference.find("`" + name + "(") == std::string::npos && reference.find("`" + name + "`") == std::string::npos)
            missing.push_back(name);
    }
    std::string list;
    for (const std::string &name : missing)
        list += "  " + name + "\n";
    EXPECT_TRUE(missing.empty()) << "add a line to docs/script_api.md for each of:\n" << list;
}

} // namespace
} // namespace tallow::test
