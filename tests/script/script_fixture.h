#pragma once
// Shared pieces of the script tests: scripts given as strings, a captured log, and an
// environment that runs snippets.

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "script/runtime/lua_environment.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tallow::test {

/// Counts live allocations over the default allocator.
class CountingAllocator final : public Allocator {
  public:
    void *allocate(u64 size, u32 align) override
    {
        void *p = default_allocator().allocate(size, align);
        if (p)
            ++_live;
        return p;
    }
    void deallocate(void *p) override
    {
        if (p) {
            --_live;
            default_allocator().deallocate(p);
        }
    }
    i64 live() const { return _live.load(); }

  private:
    std::atomic<i64> _live{0};
};

/// A "lua" resource's bytes: a u32 little-endian length word (wrong where a test wants it so),
/// then the source.
inline std::string lua_resource(const std::string &source, u32 length_word)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((length_word >> (8 * i)) & 0xFF);
    return bytes + source;
}
inline std::string lua_resource(const std::string &source) { return lua_resource(source, u32(source.size())); }

/// "lua" resources built from source strings.
class StringScriptSource final : public IScriptSource {
  public:
    void set(const std::string &name, const std::string &source) { set_raw(name, lua_resource(source)); }
    void set_raw(const std::string &name, const std::string &blob)
    {
        std::lock_guard<std::mutex> guard(_lock);
        _scripts[name] = blob;
    }
    bool find_script(const char *name, const u8 *&out_data, u64 &out_size) override
    {
        std::lock_guard<std::mutex> guard(_lock);
        auto it = _scripts.find(name);
        if (it == _scripts.end())
            return false;
        out_data = reinterpret_cast<const u8 *>(it->second.data());
        out_size = it->second.size();
        return true;
    }

  private:
    std::mutex _lock;
    std::map<std::string, std::string> _scripts;
};

/// Collects every log line while alive (echo off), from any thread.
class LogRecorder {
  public:
    LogRecorder() { set_log_capture(&LogRecorder::capture, this, false); }
    ~LogRecorder() { set_log_capture(nullptr, nullptr); }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> guard(_lock);
        return _lines;
    }
    /// Lines that contain `text`.
    int count(const std::string &text)
    {
        int n = 0;
        for (const std::string &line : lines())
            n += line.find(text) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(_lock);
        _lines.clear();
        _threads.clear();
    }
    /// The threads that logged lines containing `text`.
    std::set<std::thread::id> threads_of(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(_lock);
        std::set<std::thread::id> result;
        for (size_t i = 0; i < _lines.size(); ++i)
            if (_lines[i].find(text) != std::string::npos)
                result.insert(_threads[i]);
        return result;
    }

  private:
    static void capture(void *user, const char *category, const char *message)
    {
        // Any thread may log (the renderer does) while the test reads on the main thread.
        auto *self = static_cast<LogRecorder *>(user);
        std::lock_guard<std::mutex> guard(self->_lock);
        self->_lines.push_back(std::string("[") + category + "] " + message);
        self->_threads.push_back(std::this_thread::get_id());
    }
    std::mutex _lock;
    std::vector<std::string> _lines;
    std::vector<std::thread::id> _threads;
};

/// A snippet and a piece of the error it must raise.
struct ScriptErrorCase {
    const char *code;
    const char *message;
};

/// Runs each case's snippet with `run` (which gives the error, "" for none); each error must
/// contain the case's message. The errors, in order.
template <size_t N, class Run>
std::vector<std::string> expect_script_errors(const ScriptErrorCase (&cases)[N], Run &&run)
{
    std::vector<std::string> errors;
    for (const ScriptErrorCase &c : cases) {
        SCOPED_TRACE(c.code);
        std::string error = run(c.code);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        errors.push_back(error);
    }
    return errors;
}

/// An environment over a string source, with helpers to run snippets.
class ScriptTest : public ::testing::Test {
  protected:
    ScriptTest() : env(&source, default_allocator())
    {
        env.set_error_handler([](void *user) { ++*static_cast<int *>(user); }, &errors_reported);
    }

    /// Runs `code` in a protected call; returns "" on success or the error message.
    std::string run(const std::string &code)
    {
        lua_State *L = env.state();
        int top = lua_gettop(L);
        std::string result;
        if (luaL_loadstring(L, code.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
            const char *m = lua_tostring(L, -1);
            result = m ? m : "(non-string error)";
            if (result.empty())
                result = "(empty error)";
        }
        lua_settop(L, top);
        return result;
    }
    /// Value of the global `name` as a number.
    double number(const char *name)
    {
        lua_getglobal(env.state(), name);
        double v = lua_tonumber(env.state(), -1);
        lua_pop(env.state(), 1);
        return v;
    }
    std::string string(const char *name)
    {
        lua_getglobal(env.state(), name);
        const char *s = lua_tostring(env.state(), -1);
        std::string v = s ? s : "<nil>";
        lua_pop(env.state(), 1);
        return v;
    }

    LogRecorder log;
    StringScriptSource source;
    LuaEnvironment env;
    int errors_reported = 0;
};

} // namespace tallow::test
