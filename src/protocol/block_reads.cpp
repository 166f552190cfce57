// A block's content as reads settle it: the protocol carries no check of a read's bytes, so a
// read is trusted only when it brings what was expected or when the next read agrees.
#include "protocol/panel_protocol.h"

#include "common/fail.h"
#include "report/run_report.h"

#include <algorithm>

static bool same_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

block_state settle_block(int address, block_buffer destination,
                         std::span<const std::uint8_t> expected) {
    std::array<std::uint8_t, BLOCK_SIZE> previous{};
    bool answered = false;
    for (int read = 0; read < BLOCK_READS; ++read) {
        if (read_block(address, destination) != BLOCK_SIZE) {
            recover_panel(address);
            continue;
        }
        if (!expected.empty() && same_bytes(destination, expected)) {
            return block_state::matches;
        }
        if (answered && same_bytes(destination, previous)) {
            return block_state::agreed;
        }
        // Two whole reads that differ: a flipped bit in one of them, or in the panel's flash.
        report.reads_repeated += answered ? 1 : 0;
        answered = true;
        std::copy(destination.begin(), destination.end(), previous.begin());
    }
    return answered ? block_state::unsettled : block_state::unanswered;
}

bool read_whole_block(int address, block_buffer destination) {
    for (int read = 0; read < BLOCK_READS; ++read) {
        if (read_block(address, destination) == BLOCK_SIZE) {
            return true;
        }
        recover_panel(address);
    }
    return false;
}

bool block_holds(int address, block_buffer destination, std::span<const std::uint8_t> expected) {
    switch (settle_block(address, destination, expected)) {
    case block_state::matches:
        return true;
    case block_state::agreed:
        return false;
    case block_state::unsettled:
        fail(EXIT_FAILED, "Reads of the block at %x never agreed, aborting\n", address);
    case block_state::unanswered:
        break;
    }
    fail(EXIT_NO_PANEL, "Incomplete read at %x, aborting\n", address);
}

void read_agreed_block(int address, block_buffer destination) {
    block_holds(address, destination, {});
}
