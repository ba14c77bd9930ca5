// Two engine processes play the sample's LAN game together over the loopback address: one
// hosts a lobby, the other finds it with its lobby browser and joins, and each sees the
// other's character move. Both run under a time limit; the test reads both logs.
#include "tests/support/temp_directory.h"

#include "platform/net/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tallow::test {
namespace {

/// Starts the program with `arguments`, its output going to `log`; the process id. Only
/// async-signal-safe calls run between fork and exec.
pid_t start(const std::vector<std::string> &arguments, const std::string &log, const std::string &home)
{
    // Its own settings home and headless devices; the rest of the environment as it is.
    std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data",
                                            "SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy",
                                            "TALLOW_D3D11_BACKEND=headless"};
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (key != "XDG_CONFIG_HOME" && key != "XDG_DATA_HOME" && key != "SDL_VIDEODRIVER" &&
            key != "SDL_AUDIODRIVER" && key != "TALLOW_D3D11_BACKEND")
            environment.push_back(entry);
    }
    std::vector<char *> argv, envp;
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(out, 0) << log;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    return pid;
}

/// Waits up to `limit` for the process; kills it past that. Its exit status, or -1 when killed.
int finish(pid_t pid, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

/// A UDP port free on the loopback address just now.
u32 free_port()
{
    platform::Socket socket;
    EXPECT_TRUE(socket.open(platform::SocketKind::Datagram));
    EXPECT_TRUE(socket.bind({platform::ipv4_loopback, 0}));
    return socket.local_address().port;
}

// A host and, once it has had a moment to open its lobby, a joiner on a free loopback port,
// each with its own home folder and log.
struct LanPair {
    TempDirectory home;
    const std::string port = std::to_string(free_port());
    const std::string host_log = std::string(home.path()) + "/host.log";
    const std::string join_log = std::string(home.path()) + "/join.log";
    const pid_t host = start({TALLOW_PROGRAM, "-data-dir", TALLOW_BUILT_DATA_DIR, "-lan", "host", port}, host_log,
                             std::string(home.path()) + "/host");
    const pid_t joiner = (std::this_thread::sleep_for(std::chrono::milliseconds(300)),
                          start({TALLOW_PROGRAM, "-data-dir", TALLOW_BUILT_DATA_DIR, "-lan", "join", port}, join_log,
                                std::string(home.path()) + "/join"));
};

TEST(SampleLan, TwoProcessesFindEachOtherAndSeeTheOthersCharacterMove)
{
    LanPair pair;
    const TempDirectory &home = pair.home;
    const std::string &port = pair.port, &host_log = pair.host_log, &join_log = pair.join_log;
    const pid_t host = pair.host, joiner = pair.joiner;
    const int join_status = finish(joiner, std::chrono::seconds(60));
    const int host_status = finish(host, std::chrono::seconds(15));
    const std::string hosted = read_file(host_log);
    const std::string joined = read_file(join_log);
    EXPECT_EQ(host_status, 0) << hosted;
    EXPECT_EQ(join_status, 0) << joined;
    EXPECT_NE(hosted.find("lan host: hosting lobby 'the sample yard' on port " + port), std::string::npos) << hosted;
    EXPECT_NE(joined.find("lan join: found lobby 'the sample yard' at 127.0.0.1:" + port), std::string::npos) << joined;
    EXPECT_NE(hosted.find("joined the lobby; letting it into the game"), std::string::npos) << hosted;
    EXPECT_NE(hosted.find("greeting from"), std::string::npos) << hosted;
    EXPECT_NE(hosted.find("lan host: the character of player"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("lan join: the character of player"), std::string::npos) << joined;
    EXPECT_NE(hosted.find("lan host: sees the other player's character move"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("lan join: sees the other player's character move"), std::string::npos) << joined;
    EXPECT_NE(hosted.find("lan host: done"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("lan join: done"), std::string::npos) << joined;
    EXPECT_EQ(hosted.find("[Lua] update:"), std::string::npos) << hosted;
    EXPECT_EQ(joined.find("[Lua] update:"), std::string::npos) << joined;
    // Both sides save on the way out, though the network game took the synchronised
    // character unit with it (the shutdown used to raise reading the destroyed mover).
    for (const auto &[side, log] : {std::pair{"host", hosted}, std::pair{"join", joined}}) {
        SCOPED_TRACE(side);
        EXPECT_EQ(log.find("[Lua] shutdown"), std::string::npos) << log;
        EXPECT_NE(log.find("boot: saving the game"), std::string::npos) << log;
        const std::filesystem::path saves = std::string(home.path()) + "/" + side + "/data/tallow/saves";
        EXPECT_TRUE(std::filesystem::exists(saves) && !std::filesystem::is_empty(saves)) << saves;
    }
}


TEST(SampleLan, WhenThePartnersProcessDiesTheOtherEndsTheGame)
{
    LanPair pair;
    const std::string &host_log = pair.host_log, &join_log = pair.join_log;
    const pid_t host = pair.host, joiner = pair.joiner;
    // The joiner dies the moment it is in the game, before anyone has seen anything move.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (read_file(join_log).find("lan join: in the game") == std::string::npos &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(joiner, SIGKILL);
    waitpid(joiner, nullptr, 0);
    // The host would otherwise wait for its 30 seconds.
    const int host_status = finish(host, std::chrono::seconds(12));
    const std::string hosted = read_file(host_log);
    ASSERT_NE(read_file(join_log).find("lan join: in the game"), std::string::npos) << read_file(join_log);
    EXPECT_NE(host_status, -1) << "still running 12 seconds after its partner died\n" << hosted;
    const bool ended = hosted.find("ending the game") != std::string::npos;
    const bool done = hosted.find("lan host: done") != std::string::npos; // it saw the joiner move just in time
    EXPECT_TRUE(ended || done) << hosted;
}

} // namespace
} // namespace tallow::test
