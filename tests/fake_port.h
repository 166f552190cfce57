// A scripted port linked in place of the real one: input arrives as the test queued it,
// and every read, wait, pause, written byte and wait given up is recorded without real time
// passing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_port {

using bytes = std::vector<std::uint8_t>;

void reset();
// Input that one read returns (at most as many bytes as it asks for); reads never join
// two arrivals, so the order of arrivals models gaps on the line.
void arrive(const bytes& input);
// The next `reads` reads find nothing.
void silence(int reads);
// Once the queue is empty, reads return 0 as on a line that has hung up.
void hang_up();

int reads();
int opens();
const std::vector<int>& waits();  // µs asked of each wait_readable
const std::vector<int>& pauses(); // µs of each pause_us
const bytes& written();
const std::vector<std::string>& give_ups(); // what each trace_give_up said

} // namespace fake_port
