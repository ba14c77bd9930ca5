#include "tools/sound/sound_environment_compiler.h"

#include "foundation/config/config_value.h"
#include "platform/audio/audio_reverb.h"
#include "tools/source_check.h"

#include <cstring>

namespace tallow {

namespace {

struct Field {
    const char *key;
    f32 low, high;
    bool whole; // written as an integer (mB)
    size_t offset;
};

#define TALLOW_FIELD(name, low, high, whole) {#name, low, high, whole, offsetof(audio::I3dl2Reverb, name)}
const Field g_fields[] = {
    TALLOW_FIELD(wet_dry_mix, 0, 100, false),      TALLOW_FIELD(room, -10000, 0, true),
    TALLOW_FIELD(room_hf, -10000, 0, true),        TALLOW_FIELD(room_rolloff_factor, 0, 10, false),
    TALLOW_FIELD(decay_time, 0.1f, 20, false),     TALLOW_FIELD(decay_hf_ratio, 0.1f, 2, false),
    TALLOW_FIELD(reflections, -10000, 1000, true), TALLOW_FIELD(reflections_delay, 0, 0.3f, false),
    TALLOW_FIELD(reverb, -10000, 2000, true),      TALLOW_FIELD(reverb_delay, 0, 0.1f, false),
    TALLOW_FIELD(diffusion, 0, 100, false),        TALLOW_FIELD(density, 0, 100, false),
    TALLOW_FIELD(hf_reference, 20, 20000, false),
};
#undef TALLOW_FIELD

} // namespace

bool compile_sound_environment_source(const char *text, u64 size_bytes, std::vector<u8> &out, std::string &error)
{
    if (size_bytes == audio::i3dl2_reverb_size_bytes && memchr(text, 0, size_bytes)) {
        out.assign(text, text + size_bytes); // the block as written by hand
        return true;
    }
    ConfigValue *root = parse_source_text(text, size_bytes, error);
    if (!root)
        return false;
    audio::I3dl2Reverb reverb;
    bool ok = true;
    if (root->kind() == ConfigKind::Object) {
        for (const auto &member : root->members()) {
            const Field *field = nullptr;
            for (const Field &f : g_fields)
                field = strcmp(f.key, member.key.c_str()) == 0 ? &f : field;
            if (!field) {
                error = with_source_line(text, size_bytes, "unknown key '" + std::string(member.key.c_str()) + "'");
                ok = false;
                break;
            }
            const ConfigValue &v = member.value;
            const f32 value = v.to_float();
            if ((v.kind() != ConfigKind::Integer && v.kind() != ConfigKind::Float) || !(value >= field->low) ||
                !(value <= field->high)) {
                char range[96];
                snprintf(range, sizeof range, "a number from %g to %g", field->low, field->high);
                error = std::to_string(find_key_line(text, size_bytes, field->key)) + ": '" + field->key +
                        "' must be " + range;
                ok = false;
                break;
            }
            u8 *at = reinterpret_cast<u8 *>(&reverb) + field->offset;
            if (field->whole) {
                const i32 whole = i32(value);
                memcpy(at, &whole, 4);
            } else {
                memcpy(at, &value, 4);
            }
        }
    }
    destroy_config_root(root);
    if (!ok)
        return false;
    out.resize(audio::i3dl2_reverb_size_bytes);
    audio::write_i3dl2_reverb(reverb, out.data());
    return true;
}

} // namespace tallow
