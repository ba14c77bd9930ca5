// SaveSystem and DLC driven by a boot script in a whole Application: saves and loads polled
// frame by frame, broken and missing saves, bad arguments, and the content scan.
#include "boot_script_fixture.h"

#include "foundation/threads/thread_registry.h"
#include "save/save_system.h"
#include "tests/support/writers/dlc_descriptor_writer.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace tallow::test {
namespace {

class SaveApiTest : public BootScriptTest {
  protected:
    SaveApiTest()
    {
        write_data({{"package", "boot", package_resource({})}});
        services.create_save = [](Allocator &allocator, Application &application, const char *dir) -> ISaveService * {
            return save::create_save_service(allocator, *application.thread_registry(), dir);
        };
        write_settings("win32 = { save_dir = \"" + std::string(saves.path()) + "\" }\n");
    }

    /// Runs frames until the script sets the global `finished` (or 2000 frames pass); the
    /// script failures logged, or "".
    std::string run_until_finished(const std::string &init, const std::string &update)
    {
        return run_boot(init, "if finished then return end\n" + update, 2000);
    }

    TempDirectory saves;
};

// A table with every kind of value goes out through a save and comes back through a load,
// with the progress of both polled once per frame as a game would.
TEST_F(SaveApiTest, ScriptedSaveAndLoadRoundTripPolledEachFrame)
{
    EXPECT_EQ(run_until_finished(
                  "state = {level = 3, name = 'cave', alive = true, at = Vector3(1, 2, 3), list = {10, 20}}\n"
                  "token = SaveSystem.auto_save('slot_1', state)\n"
                  "local p = SaveSystem.progress(token)\n"
                  "assert(p.done == false and p.error == nil, 'a fresh save is running')\n"
                  "assert(p.progress >= 0 and p.progress <= 1)\n"
                  "phase, frames = 'saving', 0\n",
                  "frames = frames + 1\n"
                  "local p = SaveSystem.progress(token)\n"
                  "if not p.done then return end\n"
                  "assert(p.error == nil, p.error)\n"
                  "assert(p.progress == 1)\n"
                  "SaveSystem.close(token)\n"
                  "if phase == 'saving' then\n"
                  "  token, phase = SaveSystem.auto_load('slot_1'), 'loading'\n"
                  "  return\n"
                  "end\n"
                  "local d = p.data\n"
                  "assert(d.level == 3 and d.name == 'cave' and d.alive == true)\n"
                  "assert(Vector3.x(d.at) == 1 and Vector3.z(d.at) == 3)\n"
                  "assert(d.list[1] == 10 and d.list[2] == 20)\n"
                  "print('round trip done')\n"
                  "finished = true\n"),
              "");
    EXPECT_EQ(log.count("[Lua] round trip done"), 1);
}

// The save system's failures reach the script as the progress table's error string, and a
// failed load carries no data.
TEST_F(SaveApiTest, FailedLoadsReportTheirErrorAndNoData)
{
    { std::ofstream(std::string(saves.path()) + "/damaged.sav") << "not a save file at all"; }
    {
        // A sound save file whose payload is no script value (tag 9 is no kind).
        ThreadRegistry registry(default_allocator(), "main");
        save::SaveSystem system(registry, saves.path());
        const u8 payload[8] = {9, 0, 0, 0, 1, 0, 0, 0};
        const u32 token = system.auto_save("undecodable", payload, sizeof payload);
        for (int i = 0; i < 2000 && !(system.progress(token) && system.progress(token)->done); ++i) {
            system.update();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(system.progress(token)->done);
        ASSERT_EQ(system.progress(token)->error, nullptr);
    }
    EXPECT_EQ(run_until_finished("tokens = {damaged = SaveSystem.auto_load('damaged'),\n"
                                 "          missing = SaveSystem.auto_load('nobody'),\n"
                                 "          undecodable = SaveSystem.auto_load('undecodable'),\n"
                                 "          bad_name = SaveSystem.auto_save('Bad Name!', {1})}\n"
                                 "expected = {damaged = 'TORVALEN_SAVEDATA_BROKEN',\n"
                                 "            missing = 'TORVALEN_SAVEDATA_ERROR_MISSING',\n"
                                 "            undecodable = 'TORVALEN_SAVEDATA_BROKEN',\n"
                                 "            bad_name = 'TORVALEN_SAVEDATA_INVALID_FILENAME'}\n",
                                 "for what, token in pairs(tokens) do\n"
                                 "  local p = SaveSystem.progress(token)\n"
                                 "  if p.done then\n"
                                 "    assert(p.error == expected[what], what .. ': ' .. tostring(p.error))\n"
                                 "    assert(p.data == nil)\n"
                                 "    SaveSystem.close(token)\n"
                                 "    tokens[what] = nil\n"
                                 "    print(what .. ' reported')\n"
                                 "  end\n"
                                 "end\n"
                                 "finished = next(tokens) == nil\n"),
              "");
    for (const char *what : {"damaged", "missing", "undecodable", "bad_name"})
        EXPECT_EQ(log.count(std::string("[Lua] ") + what + " reported"), 1) << what;
}

TEST_F(SaveApiTest, BadArgumentsAndClosedTokensRaiseNamingTheFunction)
{
    struct Case {
        const char *call;
        const char *message;
    };
    const Case cases[] = {
        {"SaveSystem.auto_save('a', function() end)", "SaveSystem.auto_save"},
        {"SaveSystem.auto_save('a')", "SaveSystem.auto_save"},
        {"SaveSystem.auto_save({}, 1)", "SaveSystem.auto_save"},
        {"SaveSystem.auto_load(nil)", "SaveSystem.auto_load"},
        {"SaveSystem.progress(7)", "SaveSystem.progress"},
        {"SaveSystem.progress(Application.resource_package('boot'))", "SaveSystem.progress"},
        {"SaveSystem.close(nil)", "SaveSystem.close"},
        {"local t = SaveSystem.auto_load('x'); SaveSystem.close(t); SaveSystem.close(t)", "SaveToken has been closed"},
        {"local t = SaveSystem.auto_load('x'); SaveSystem.close(t); SaveSystem.progress(t)", "SaveToken has been closed"},
        // An empty name would write the hidden ".sav" and ".old"; a zero byte would cut the
        // name there ("nul\0byte" overwriting "nul").
        {"SaveSystem.auto_save('', 1)", "bad argument #1 to 'SaveSystem.auto_save' (a save name must not be empty)"},
        {"SaveSystem.auto_save('nul\\0byte', 1)", "bad argument #1 to 'SaveSystem.auto_save' (a save name must not hold a zero byte)"},
        {"SaveSystem.auto_load('')", "bad argument #1 to 'SaveSystem.auto_load' (a save name must not be empty)"},
        {"SaveSystem.auto_load('nul\\0byte')", "bad argument #1 to 'SaveSystem.auto_load' (a save name must not hold a zero byte)"},
    };
    std::string script;
    for (const Case &c : cases)
        script += std::string("do local ok, e = pcall(function() ") + c.call + " end)\n"
                  "  assert(not ok and string.find(e, [[" + c.message + "]], 1, true), [[" + c.call + ": ]] .. tostring(e))\n"
                  "end\n";
    EXPECT_EQ(run_boot(script + "print('all raised')"), "");
    EXPECT_EQ(log.count("[Lua] all raised"), 1);
}

TEST_F(SaveApiTest, TokensTheScriptDropsAreClosedByTheCollector)
{
    EXPECT_EQ(run_boot("for i = 1, 20 do SaveSystem.auto_load('missing') end\n"
                       "local kept = SaveSystem.auto_load('missing')\n"
                       "collectgarbage(); collectgarbage()\n"
                       "assert(SaveSystem.progress(kept))\n"
                       "held = kept\n"),
              "");
    ASSERT_NE(save::save_system(), nullptr);
    EXPECT_EQ(save::save_system()->token_count(), 1u); // only the one still held
    // A script calling the collector's function closes the token; the token then raises.
    EXPECT_EQ(run_boot("local t = SaveSystem.auto_load('missing')\n"
                       "SaveToken.__gc(t); SaveToken.__gc(t); SaveToken.__gc({}); SaveToken.__gc(1)\n"
                       "local ok, e = pcall(SaveSystem.progress, t)\n"
                       "assert(not ok and e:find('SaveToken has been closed', 1, true), e)\n"),
              "");
    EXPECT_EQ(save::save_system()->token_count(), 0u);
}

TEST_F(SaveApiTest, WithoutASaveDirectoryTheTableSaysSo)
{
    write_settings("");
    EXPECT_EQ(run_boot("local ok, e = pcall(SaveSystem.auto_load, 'x')\n"
                       "assert(not ok and string.find(e, 'save system is not available', 1, true), e)\n"),
              "");
}

TEST_F(SaveApiTest, ContentScanFromLua)
{
    mkdir(data.file("dlc").c_str(), 0755);
    {
        std::ofstream(data.file("dlc") + "/00000000000000AA", std::ios::binary) << dlc_descriptor("alpha", "dlc/alpha");
        std::ofstream(data.file("dlc") + "/not_a_descriptor", std::ios::binary) << dlc_descriptor("x", "y");
    }
    EXPECT_EQ(run_until_finished("assert(#DLC.scan_result() == 0, 'nothing before a scan')\n"
                                 "DLC.scan_for_dlc()\n",
                                 "if not DLC.scan_done() then return end\n"
                                 "local found = DLC.scan_result()\n"
                                 "assert(#found == 1, #found)\n"
                                 "assert(found[1].name == 'alpha' and found[1].package == 'dlc/alpha')\n"
                                 "print('content found')\n"
                                 "finished = true\n"),
              "");
    EXPECT_EQ(log.count("[Lua] content found"), 1);
}

} // namespace
} // namespace tallow::test
