#pragma once
// A recording fake of the pad layer: scripted states per user index, every call logged.

#include "platform/input/pad_api.h"

#include <string>
#include <vector>

namespace tallow::test {

class FakePads final : public platform::IPadApi {
  public:
    struct Call {
        bool is_set; // set_state, else get_state
        u32 user;
        u16 left, right;
        bool operator==(const Call &) const = default;
    };

    u32 get_state(u32 user, platform::PadState &out) override
    {
        calls.push_back({false, user, 0, 0});
        if (user >= platform::max_pads || !present[user])
            return platform::pad_not_connected;
        out = states[user];
        return platform::pad_success;
    }
    u32 set_state(u32 user, const platform::PadVibration &v) override
    {
        calls.push_back({true, user, v.left_motor_speed, v.right_motor_speed});
        return user < platform::max_pads && present[user] ? platform::pad_success : platform::pad_not_connected;
    }
    u32 queries(u32 user) const
    {
        u32 n = 0;
        for (const Call &c : calls) n += !c.is_set && c.user == user;
        return n;
    }

    bool present[platform::max_pads] = {};
    platform::PadState states[platform::max_pads];
    std::vector<Call> calls;
};

} // namespace tallow::test
