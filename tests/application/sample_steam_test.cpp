// Two engine processes meet through the online-services stand-in's folder hub: one creates
// a lobby, the other finds it by name, joins it and greets the owner with a remote call over
// peer-to-peer packets on the loopback address; the owner answers. Both run under a time
// limit; the test reads both logs.
#include "foundation/types.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tallow::test {
namespace {

/// Starts the program with `arguments` and `extra` environment entries, its output going
/// to `log`. Only async-signal-safe calls run between fork and exec.
pid_t start(const std::vector<std::string> &arguments, const std::vector<std::string> &extra, const std::string &log,
            const std::string &home)
{
    std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data",
                                            "SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy",
                                            "TALLOW_D3D11_BACKEND=headless"};
    environment.insert(environment.end(), extra.begin(), extra.end());
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &own : environment)
            replaced |= own.compare(0, key.size() + 1, key + "=") == 0;
        if (!replaced)
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

/// Files in `folder` (. and .. not counted).
u32 entries(const std::string &folder)
{
    u32 n = 0;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *e = readdir(dir))
            n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

TEST(SampleSteam, TwoProcessesMeetInALobbyAndExchangeARemoteCall)
{
    TempDirectory home;
    const std::string root = std::string(home.path()) + "/hub";
    const std::string host_log = std::string(home.path()) + "/host.log";
    const std::string join_log = std::string(home.path()) + "/join.log";
    const pid_t host = start({TALLOW_PROGRAM, "-data-dir", TALLOW_BUILT_DATA_DIR, "-steam", "host"},
                             {"TALLOW_STEAM_ROOT=" + root, "TALLOW_STEAM_USER=a11ce", "TALLOW_STEAM_NAME=alice"},
                             host_log, std::string(home.path()) + "/host");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const pid_t joiner = start({TALLOW_PROGRAM, "-data-dir", TALLOW_BUILT_DATA_DIR, "-steam", "join"},
                               {"TALLOW_STEAM_ROOT=" + root, "TALLOW_STEAM_USER=b0b", "TALLOW_STEAM_NAME=bob"},
                               join_log, std::string(home.path()) + "/join");
    const int join_status = finish(joiner, std::chrono::seconds(60));
    const int host_status = finish(host, std::chrono::seconds(15));
    const std::string hosted = read_file(host_log);
    const std::string joined = read_file(join_log);
    EXPECT_EQ(host_status, 0) << hosted;
    EXPECT_EQ(join_status, 0) << joined;
    EXPECT_NE(hosted.find("steam host: started as user a11ce (alice)"), std::string::npos) << hosted;
    EXPECT_NE(hosted.find("steam host: hosting lobby 'the sample hall'"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("steam join: found lobby 'the sample hall'"), std::string::npos) << joined;
    EXPECT_NE(joined.find("steam join: joined; the lobby has 2 members, owner a11ce"), std::string::npos) << joined;
    EXPECT_NE(hosted.find("steam host: player b0b joined the lobby"), std::string::npos) << hosted;
    EXPECT_NE(hosted.find("steam host: greeting from b0b: hello from the joiner"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("steam join: greeting from a11ce: welcome from the host"), std::string::npos) << joined;
    EXPECT_NE(hosted.find("steam host: done"), std::string::npos) << hosted;
    EXPECT_NE(joined.find("steam join: done"), std::string::npos) << joined;
    EXPECT_EQ(hosted.find("[Lua] update:"), std::string::npos) << hosted;
    EXPECT_EQ(joined.find("[Lua] update:"), std::string::npos) << joined;
    // Nothing of either process stays in the hub: lobbies left, endpoints removed.
    EXPECT_EQ(entries(root + "/lobbies"), 0u);
    EXPECT_EQ(entries(root + "/endpoints"), 0u);
}

} // namespace
} // namespace tallow::test
