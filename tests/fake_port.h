// A scripted port linked in place of the real one: input arrives as the test queued it,
// and every read, wait, pause and written byte is counted without real time passing.
#pragma once

#include <cstdint>
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
// What the recovery after the first answer lost in a row meets: the line quiet before the
// filler bytes and after them (two reads that find nothing each).
void recovery_succeeds();

// Every queued arrival and silence has been read.
bool drained();
int reads();
int opens();
const std::vector<int>& waits();   // µs asked of each wait_readable
const std::vector<int>& answers(); // answer bytes each port_write announced
const std::vector<int>& pauses();  // µs of each pause_us
const bytes& written();

} // namespace fake_port
