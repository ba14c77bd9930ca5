#pragma once
// Shared pieces of the save tests: whole-file reads and writes, and a save system over a
// temporary folder that is driven frame by frame until its operations are done.

#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "save/save_file.h"
#include "save/save_system.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace tallow::test {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline bool file_exists(const std::string &path) { return std::ifstream(path).good(); }

/// The whole save file for `payload`.
inline std::string make_save_file(const std::string &payload)
{
    Array<u8> file(default_allocator());
    EXPECT_TRUE(save::write_save_file(payload.data(), payload.size(), default_allocator(), file));
    return std::string(reinterpret_cast<const char *>(file.data()), file.size());
}

/// The payload of a save file, or "<broken>".
inline std::string unpack_save_file(const std::string &file)
{
    Array<u8> payload(default_allocator());
    if (!save::read_save_file(file.data(), file.size(), default_allocator(), payload))
        return "<broken>";
    return std::string(reinterpret_cast<const char *>(payload.data()), payload.size());
}

/// Calls update until the token's record is done (or a few seconds pass).
inline const save::ProgressInformation *wait_done(save::SaveSystem &saves, u32 token)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        saves.update();
        const save::ProgressInformation *p = saves.progress(token);
        if (!p || p->done || std::chrono::steady_clock::now() > deadline)
            return p;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace tallow::test
