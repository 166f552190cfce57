// Bit errors on panelsim's line: the distance to each next flipped bit is drawn, so a clean
// stretch of line costs one draw, not one per bit.
#include "line_noise.h"

#include <algorithm>

namespace panelsim {

line_noise::line_noise(double bit_error_rate, std::uint64_t seed)
    : on_(bit_error_rate > 0), gap_(std::clamp(bit_error_rate, 1e-12, 1.0)),
      to_panel_{std::mt19937_64(seed * 2)}, to_host_{std::mt19937_64(seed * 2 + 1)} {
    to_panel_.clean_bits = next_gap(to_panel_);
    to_host_.clean_bits = next_gap(to_host_);
}

std::int64_t line_noise::next_gap(direction& d) {
    return on_ ? gap_(d.random) : 0;
}

std::uint8_t line_noise::pass(direction& d, std::uint8_t b) {
    if (!on_) {
        return b;
    }
    if (d.clean_bits >= 8) {
        d.clean_bits -= 8;
        return b;
    }
    for (int bit = 0; bit < 8; ++bit) {
        if (d.clean_bits > 0) {
            --d.clean_bits;
            continue;
        }
        b = static_cast<std::uint8_t>(b ^ (1U << bit));
        ++flipped_;
        d.clean_bits = next_gap(d);
    }
    return b;
}

} // namespace panelsim
