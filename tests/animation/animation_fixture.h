#pragma once
// Small animations for the animation tests, built with the shared writer.
#include "animation/animation_data.h"
#include "tests/support/writers/animation_writer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tallow::test {

/// One track moving along x from 0 to `length` metres over `length` seconds, turning from
/// no rotation to 90 degrees about z; keys at the given times.
inline AnimationSource slide(f32 length, u16 format = 6, std::vector<AnimationKey> keys = {})
{
    const f32 h = std::sqrt(0.5f);
    AnimationSource s;
    s.format = format;
    s.length = length;
    s.keys = std::move(keys);
    s.frames = {{0, {{{0, 0, 0}, {0, 0, 0, 1}}}}, {length, {{{length, 0, 0}, {0, 0, h, h}}}}};
    return s;
}

/// Keeps the bytes and the view over them together.
struct ReadAnimation {
    explicit ReadAnimation(const AnimationSource &s) : bytes(write_animation(s))
    {
        const char *why = nullptr;
        ok = read_animation(bytes.data(), bytes.size(), view, &why);
        EXPECT_TRUE(ok) << why;
    }
    std::vector<u8> bytes;
    AnimationView view;
    bool ok = false;
};

} // namespace tallow::test
