#pragma once
// The payload of state n in the kill test: "state N;" and then bytes derived from N, of a
// length that varies with N so files of many sizes are written.
#include <string>

namespace tallow::test {

inline std::string save_kill_payload(unsigned n)
{
    std::string s = "state " + std::to_string(n) + ";";
    size_t length = 1000 + (size_t(n) * 7919) % 150000;
    for (size_t i = 0; s.size() < length; ++i)
        s += char('a' + (n + i * 31) % 26);
    return s;
}

/// The state a payload holds, or -1 when it is no state's payload.
inline long save_kill_state_of(const std::string &payload)
{
    if (payload.rfind("state ", 0) != 0)
        return -1;
    long n = std::strtol(payload.c_str() + 6, nullptr, 10);
    return n >= 0 && save_kill_payload(unsigned(n)) == payload ? n : -1;
}

} // namespace tallow::test
