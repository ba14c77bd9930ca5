#include "application/frame_time_filter.h"

#include <algorithm>

namespace tallow {

void FrameTimeFilter::update(f32 step)
{
    // Comparisons with NaN are false, so test the lower bound as "not at least".
    if (step > maximum_step)
        step = maximum_step;
    else if (!(step >= minimum_step))
        step = minimum_step;

    if (_sample_count == window_size) {
        std::copy(_samples + 1, _samples + window_size, _samples);
        _samples[window_size - 1] = step;
    } else {
        _samples[_sample_count++] = step;
    }

    f32 estimate = step;
    if (_sample_count == window_size) {
        f32 sorted[window_size];
        std::copy(_samples, _samples + window_size, sorted);
        std::sort(sorted, sorted + window_size);
        f32 sum = 0.0f;
        for (u32 i = 2; i <= 8; ++i)
            sum += sorted[i];
        estimate = sum * 0.14285715f;
    }
    estimate = estimate + bias * 0.033333335f;
    _last_estimate = estimate;

    if (!_started) {
        _smoothed = estimate;
        _started = true;
    }
    f32 smoothed = estimate * 0.1f + _smoothed * 0.9f;
    if (smoothed > maximum_step)
        smoothed = maximum_step;
    else if (!(smoothed >= minimum_step))
        smoothed = minimum_step;
    _smoothed = smoothed;
}

} // namespace tallow
