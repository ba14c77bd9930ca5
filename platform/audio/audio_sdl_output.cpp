// One SDL audio device for the whole process: each World makes its own engine, and the
// device's callback sums every attached engine's block. 32-bit float samples, interleaved.
#include "foundation/log.h"
#include "platform/audio/audio_engine_internal.h"

#include <SDL.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace tallow::audio {

namespace {

// Two locks, never held together by one thread: `lock` guards what the callback reads and
// is held by it while it mixes; `open_lock` orders opening and closing, which call into SDL.
// SDL takes its own device lock around the callback, so no SDL call may wait on it while
// `lock` is held.
struct SdlOutput {
    std::mutex lock;      // the engine list and scratch; held by the callback
    std::mutex open_lock; // references, device, channels and rate
    SDL_AudioDeviceID device = 0;
    u32 references = 0;
    u32 channels = 0;
    u32 sample_rate = 0;
    std::vector<AudioEngine *> engines;
    std::vector<f32> scratch;
};

SdlOutput &output()
{
    static SdlOutput o;
    return o;
}

void pull(void *, Uint8 *stream, int length)
{
    SdlOutput &o = output();
    std::lock_guard<std::mutex> lock(o.lock);
    f32 *out = reinterpret_cast<f32 *>(stream);
    u32 samples = u32(length) / sizeof(f32);
    memset(out, 0, u64(samples) * sizeof(f32));
    if (o.channels == 0)
        return;
    u32 frames = samples / o.channels;
    if (o.scratch.size() < samples)
        return; // the device was opened with a smaller block; never seen, but stay silent
    for (AudioEngine *engine : o.engines) {
        engine->render(o.scratch.data(), frames);
        for (u32 i = 0; i < frames * o.channels; ++i)
            out[i] += o.scratch[i];
    }
}

} // namespace

bool open_sdl_output(const EngineParams &params, DeviceDetails &out_details)
{
    SdlOutput &o = output();
    std::lock_guard<std::mutex> open(o.open_lock);
    if (o.references == 0) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            log_message("audio", "SDL audio does not start (%s); no sound", SDL_GetError());
            return false;
        }
        SDL_AudioSpec want{};
        want.freq = int(params.sample_rate ? params.sample_rate : 48000);
        want.format = AUDIO_F32SYS;
        want.channels = Uint8(params.channels >= 1 && params.channels <= 8 ? params.channels : 2);
        want.samples = 512;
        want.callback = pull;
        SDL_AudioSpec have{};
        // SDL's 4, 6 and 8 channel orders are the speaker masks' orders, so the device may
        // choose its channel count.
        o.device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
        if (o.device == 0 || have.channels == 0 || have.channels > 8 || have.channels == 3 || have.channels == 5 ||
            have.channels == 7) {
            log_message("audio", "no SDL audio device opens (%s); no sound", o.device ? "odd channel count" : SDL_GetError());
            if (o.device)
                SDL_CloseAudioDevice(o.device);
            o.device = 0;
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return false;
        }
        {
            // The device starts paused: the callback cannot be running yet.
            std::lock_guard<std::mutex> lock(o.lock);
            o.channels = have.channels;
            o.sample_rate = u32(have.freq);
            o.scratch.assign(u64(have.samples) * have.channels * 2, 0.0f);
        }
        SDL_PauseAudioDevice(o.device, 0);
    }
    ++o.references;
    out_details.channels = o.channels;
    out_details.sample_rate = o.sample_rate;
    return true;
}

void close_sdl_output()
{
    SdlOutput &o = output();
    std::lock_guard<std::mutex> open(o.open_lock);
    if (o.references == 0 || --o.references > 0)
        return;
    // Without `lock`: closing waits for a callback in progress, which may want it.
    SDL_CloseAudioDevice(o.device);
    o.device = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool attach_output(AudioEngine *engine)
{
    SdlOutput &o = output();
    std::lock_guard<std::mutex> lock(o.lock);
    o.engines.push_back(engine);
    return true;
}

void detach_output(AudioEngine *engine)
{
    SdlOutput &o = output();
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(o.lock);
        for (size_t i = 0; i < o.engines.size(); ++i)
            if (o.engines[i] == engine) {
                o.engines.erase(o.engines.begin() + i);
                found = true;
                break;
            }
    }
    if (found)
        close_sdl_output();
}

} // namespace tallow::audio
