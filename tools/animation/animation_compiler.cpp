#include "tools/animation/animation_compiler.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/animation_writer.h"
#include "tools/source_check.h"

#include <algorithm>
#include <cmath>

namespace tallow {

namespace {

struct TrackKey {
    f32 time;
    test::TrackPose pose;
};

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

bool numbers(const ConfigValue &object, const char *key, f32 *out, u32 n, const std::string &where, std::string &error)
{
    const ConfigValue *v = object.find(key);
    if (!v)
        return true;
    if (v->kind() != ConfigKind::Array || v->items().size() != n) {
        error = where + ": '" + key + "' must be an array of " + std::to_string(n) + " numbers";
        return false;
    }
    for (u32 i = 0; i < n; ++i) {
        if (!is_number(v->items()[i])) {
            error = where + ": '" + key + "' must hold numbers";
            return false;
        }
        out[i] = v->items()[i].to_float();
    }
    return true;
}

bool number(const ConfigValue &object, const char *key, f32 &out, const std::string &where, std::string &error)
{
    const ConfigValue *v = object.find(key);
    if (!v || !is_number(*v)) {
        error = where + ": '" + key + "' must be a number";
        return false;
    }
    out = v->to_float();
    return true;
}

Quaternion normalized(Quaternion q)
{
    f32 n = std::sqrt(dot(q, q));
    return n > 0 ? Quaternion{q.x / n, q.y / n, q.z / n, q.w / n} : quaternion_identity;
}

/// A track's pose at `t`, interpolated the way the engine samples.
test::TrackPose pose_at(const std::vector<TrackKey> &keys, f32 t)
{
    if (t <= keys.front().time)
        return keys.front().pose;
    if (t >= keys.back().time)
        return keys.back().pose;
    u32 i = 1;
    while (keys[i].time < t)
        ++i;
    const TrackKey &a = keys[i - 1], &b = keys[i];
    f32 s = (t - a.time) / (b.time - a.time);
    Quaternion rb = b.pose.rotation;
    if (dot(a.pose.rotation, rb) < 0)
        rb = {-rb.x, -rb.y, -rb.z, -rb.w};
    const Quaternion &ra = a.pose.rotation;
    const Vector3 &ta = a.pose.translation, &tb = b.pose.translation;
    return {{ta.x + (tb.x - ta.x) * s, ta.y + (tb.y - ta.y) * s, ta.z + (tb.z - ta.z) * s},
            normalized({ra.x + (rb.x - ra.x) * s, ra.y + (rb.y - ra.y) * s, ra.z + (rb.z - ra.z) * s,
                        ra.w + (rb.w - ra.w) * s})};
}

} // namespace

bool compile_animation_config(const ConfigValue &root, const std::string &where, std::vector<u8> &out_bytes,
                              std::string &error, u32 *out_track_count)
{
    std::string unreadable;
    if (find_unreadable_value(root, unreadable)) {
        error = where + ": cannot read the value of '" + unreadable + "'";
        return false;
    }
    if (const char *key = unknown_key(root, {"length", "format", "events", "tracks"})) {
        error = where + ": unknown key '" + key + "'";
        return false;
    }
    test::AnimationSource source;
    if (const ConfigValue *format = root.find("format")) {
        std::string f = format->kind() == ConfigKind::String ? format->to_string() : "";
        if (f != "raw" && f != "quantized") {
            error = where + ": 'format' must be \"raw\" or \"quantized\"";
            return false;
        }
        source.format = f == "raw" ? 6 : 1;
    }
    std::vector<std::vector<TrackKey>> tracks;
    const ConfigValue *track_list = root.find("tracks");
    if (track_list && track_list->kind() != ConfigKind::Array) {
        error = where + ": 'tracks' must be an array";
        return false;
    }
    f32 last_time = 0;
    for (u32 i = 0; track_list && i < track_list->items().size(); ++i) {
        const ConfigValue &t = track_list->items()[i];
        std::string tw = where + ": tracks[" + std::to_string(i) + "]";
        if (t.kind() != ConfigKind::Object || unknown_key(t, {"node", "keys"})) {
            error = tw + ": must be an object of 'node' and 'keys'";
            return false;
        }
        const ConfigValue *keys = t.find("keys");
        if (!keys || keys->kind() != ConfigKind::Array || keys->items().empty()) {
            error = tw + ": 'keys' must be an array of one key or more";
            return false;
        }
        std::vector<TrackKey> track;
        for (u32 k = 0; k < keys->items().size(); ++k) {
            const ConfigValue &key = keys->items()[k];
            std::string kw = tw + ".keys[" + std::to_string(k) + "]";
            if (key.kind() != ConfigKind::Object || unknown_key(key, {"time", "position", "rotation"})) {
                error = kw + ": must be an object of 'time', 'position' and 'rotation'";
                return false;
            }
            f32 p[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1};
            TrackKey tk{};
            if (!number(key, "time", tk.time, kw, error) || !numbers(key, "position", p, 3, kw, error) ||
                !numbers(key, "rotation", q, 4, kw, error))
                return false;
            if (!(tk.time >= 0) || (!track.empty() && tk.time <= track.back().time)) {
                error = kw + ": key times must ascend from 0";
                return false;
            }
            tk.pose = {{p[0], p[1], p[2]}, normalized({q[0], q[1], q[2], q[3]})};
            track.push_back(tk);
            last_time = std::max(last_time, tk.time);
        }
        tracks.push_back(std::move(track));
    }
    source.length = last_time;
    if (root.find("length") && !number(root, "length", source.length, where, error))
        return false;
    if (!(source.length >= last_time) || !std::isfinite(source.length)) {
        error = where + ": 'length' must not be below the last key time";
        return false;
    }
    if (const ConfigValue *events = root.find("events")) {
        if (events->kind() != ConfigKind::Array) {
            error = where + ": 'events' must be an array";
            return false;
        }
        for (u32 i = 0; i < events->items().size(); ++i) {
            const ConfigValue &e = events->items()[i];
            std::string ew = where + ": events[" + std::to_string(i) + "]";
            const ConfigValue *name = e.kind() == ConfigKind::Object ? e.find("name") : nullptr;
            test::AnimationKey key;
            if (!name || name->kind() != ConfigKind::String || unknown_key(e, {"time", "name"}) ||
                !number(e, "time", key.time, ew, error)) {
                if (error.empty())
                    error = ew + ": must be an object of 'time' and 'name'";
                return false;
            }
            if (!(key.time >= 0 && key.time <= source.length)) {
                error = ew + ": its time lies outside the animation";
                return false;
            }
            key.id = NameId32(name->to_string()).value();
            source.keys.push_back(key);
        }
        std::stable_sort(source.keys.begin(), source.keys.end(),
                         [](const test::AnimationKey &a, const test::AnimationKey &b) { return a.time < b.time; });
    }
    // Key frames at 0 and at every key time of any track.
    std::vector<f32> times{0};
    for (const auto &track : tracks)
        for (const TrackKey &k : track)
            times.push_back(k.time);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    for (f32 t : times) {
        test::AnimationFrame frame;
        frame.time = t;
        for (const auto &track : tracks)
            frame.tracks.push_back(pose_at(track, t));
        source.frames.push_back(std::move(frame));
    }
    out_bytes = test::write_animation(source);
    if (out_track_count)
        *out_track_count = u32(tracks.size());
    return true;
}

bool compile_animation_source(const char *text, u64 size, std::vector<u8> &out_bytes, std::string &out_error)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    std::string word;
    u32 line = 0;
    bool ok;
    if (find_unreadable_word(text, size, word, line)) {
        out_error = std::to_string(line) + ": cannot read '" + word + "'";
        ok = false;
    } else {
        ok = compile_animation_config(*root, "animation", out_bytes, out_error);
        if (!ok)
            out_error = with_source_line(text, size, out_error);
    }
    destroy_config_root(root);
    return ok;
}

} // namespace tallow
