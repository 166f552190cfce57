// Bit errors on panelsim's line: each data bit, either way, flips with a set probability,
// drawn from a seed so that a run that went wrong can be run again the same way.
#pragma once

#include <cstdint>
#include <random>

namespace panelsim {

class line_noise {
  public:
    // A rate of 0 leaves every byte as it is.
    line_noise(double bit_error_rate, std::uint64_t seed);

    std::uint8_t to_panel(std::uint8_t b) { return pass(to_panel_, b); }
    std::uint8_t to_host(std::uint8_t b) { return pass(to_host_, b); }
    long flipped_bits() const { return flipped_; }

  private:
    // Each direction has its own draws, so what one side sends never moves the errors of the
    // other: the n-th byte each way meets the same flips in every run with the seed.
    struct direction {
        std::mt19937_64 random;
        std::int64_t clean_bits = 0; // bits that pass before the next flip
    };

    std::int64_t next_gap(direction& d);
    std::uint8_t pass(direction& d, std::uint8_t b);

    bool on_;
    std::geometric_distribution<std::int64_t> gap_;
    direction to_panel_;
    direction to_host_;
    long flipped_ = 0;
};

} // namespace panelsim
