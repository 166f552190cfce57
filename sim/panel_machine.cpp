// panelsim's panel without its line: firmware requests, the bootloader's sync and packets,
// the flash they change and the faults configured for them.
#include "panel_machine.h"

#include <algorithm>
#include <numeric>

namespace panelsim {

namespace {

// The protocol's bytes as the panel knows them. panelsim keeps its own copy instead of
// sharing the tool's: a wrong constant in the tool then shows as a panel that does not
// answer, instead of moving on both sides of the line at once.
constexpr std::uint8_t REQUEST_START = 0xA5; // first byte of a firmware request
constexpr std::uint8_t FRAME_START = 0x5A;   // first byte of the firmware's frames
constexpr std::uint8_t FRAME_VERSION = 0x00; // frame type of the version answer
constexpr std::uint8_t SYNC = 0xAA;          // bootloader sync byte
constexpr std::uint8_t SYNC_ANSWER = 0x55;   // the bootloader's answer to it
constexpr std::uint8_t PACKET_MARK = 0x42;   // second byte of every bootloader packet
constexpr std::uint8_t ACK = 0x00;           // a packet's acknowledgement
constexpr std::uint8_t CMD_EXIT = 0x01;      // leave the bootloader
constexpr std::uint8_t CMD_ERASE = 0x02;     // erase a block
constexpr std::uint8_t CMD_WRITE = 0x03;     // write a block
constexpr std::uint8_t CMD_READ = 0x04;      // read a block
// Where the bootloader's own flash begins, kept apart from the tool's APP_AREA_SIZE for the
// same reason: a wrong limit in the tool shows as a violation here.
constexpr int BOOTLOADER_START = 0x1E00;

const bytes VERSION_REQUEST = {0xA5, 0x00, 0x00};
const bytes FLASH_REQUEST = {0xA5, 0x3C, 0x5E, 0x27};
const bytes ACCEPTED = {0x5A, 0xFD};
const bytes ALREADY_IN_BOOTLOADER = {0xFF, 0xFF};

bool is_prefix(const bytes& prefix, const bytes& of) {
    return prefix.size() <= of.size() && std::equal(prefix.begin(), prefix.end(), of.begin());
}

bool is_command(std::uint8_t b) {
    return b >= CMD_EXIT && b <= CMD_READ;
}

std::size_t packet_length(std::uint8_t command) {
    switch (command) {
    case CMD_EXIT:
        return 2;
    case CMD_WRITE:
        return 4 + BLOCK_SIZE + 1;
    default:
        return 4;
    }
}

int hex_digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_violation(const packet& p) {
    return (p.command == CMD_ERASE || p.command == CMD_WRITE) && p.address >= BOOTLOADER_START;
}

} // namespace

flash_image default_flash() {
    flash_image image{};
    for (int i = 0; i < FLASH_SIZE; ++i) {
        const int block = i / BLOCK_SIZE;
        image[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>((i * 29 + block * 17) ^ 0xA5);
    }
    return image;
}

double line_stats::line_limit_ms(const config& cfg) const {
    const double byte_ms = static_cast<double>(BYTE_TIME_NS) / 1e6;
    double ms = static_cast<double>(host_bytes + panel_bytes) * byte_ms;
    ms += erases * cfg.erase_ms + writes * cfg.write_ms;
    ms += 10.0 * sync_attempts;
    if (flash_requests > 0) {
        ms += 400.0;
    }
    return ms;
}

panel_machine::panel_machine(config cfg)
    : cfg_(std::move(cfg)), flash_(default_flash()), sent_(cfg_.sent_at_start),
      bootloader_(cfg_.start_in_bootloader), faults_done_(cfg_.byte_faults.size(), false) {}

response panel_machine::feed(std::uint8_t b, std::int64_t at_ns) {
    if (bootloader_) {
        b = corrupt_received(b);
    }
    received_.push_back(b);
    ++stats_.host_bytes;
    response r;
    const bool paused = cfg_.packet_timeout_ms > 0 &&
                        static_cast<double>(at_ns - last_byte_ns_) > cfg_.packet_timeout_ms * 1e6;
    last_byte_ns_ = at_ns;
    if (bootloader_) {
        if (paused) {
            pending_.clear();
        }
        feed_bootloader(b, r);
    } else if (at_ns >= firmware_from_ns_) {
        feed_firmware(b, r);
    }
    return r;
}

std::uint16_t panel_machine::firmware_version() const {
    // The firmware carries its version as text: "FWVER=" and four hexadecimal digits.
    static constexpr char TAG[] = "FWVER=";
    const auto area = std::span(flash_).first(BOOTLOADER_START);
    const auto tag = std::search(area.begin(), area.end(), TAG, TAG + 6);
    if (tag == area.end() || area.end() - tag < 10) {
        return cfg_.version;
    }
    unsigned version = 0;
    for (auto digit = tag + 6; digit != tag + 10; ++digit) {
        const int value = hex_digit(*digit);
        if (value < 0) {
            return cfg_.version;
        }
        version = version * 16 + static_cast<unsigned>(value);
    }
    return static_cast<std::uint16_t>(version);
}

void panel_machine::record_sent(std::span<const std::uint8_t> data) {
    sent_.insert(sent_.end(), data.begin(), data.end());
    stats_.panel_bytes += static_cast<long>(data.size());
}

line_stats panel_machine::take_stats() {
    const line_stats taken = stats_;
    stats_ = line_stats{};
    return taken;
}

void panel_machine::feed_firmware(std::uint8_t b, response& r) {
    if (pending_.empty()) {
        if (b == REQUEST_START) {
            pending_.push_back(b);
        }
        return;
    }
    pending_.push_back(b);
    if (pending_ == VERSION_REQUEST) {
        pending_.clear();
        answer_version_request(r);
    } else if (pending_ == FLASH_REQUEST) {
        pending_.clear();
        flash_request(r);
    } else if (!is_prefix(pending_, VERSION_REQUEST) && !is_prefix(pending_, FLASH_REQUEST)) {
        // A broken request: the byte that broke it may start the next one.
        pending_.clear();
        feed_firmware(b, r);
    }
}

void panel_machine::answer_version_request(response& r) {
    if (cfg_.hang_up_on_version_request) {
        hang_up(r);
        return;
    }
    const std::uint16_t version = firmware_version();
    // A firmware programmed since panelsim started is the image's, which answers as it should.
    bytes answer =
        (reprogrammed_ ? std::nullopt : cfg_.version_reply)
            .value_or(bytes{FRAME_START, FRAME_VERSION, static_cast<std::uint8_t>(version >> 8),
                            static_cast<std::uint8_t>(version & 0xFF)});
    corrupt_sent(fault_place::version, version_replies_++, answer, 0);
    reply(answer, r);
}

void panel_machine::flash_request(response& r) {
    ++stats_.flash_requests;
    // A host starting over finds the stopped panel answering again, as after a power cycle.
    if (cfg_.resume_at_flash_request > 0 && silent_ && answers_stopped() &&
        ++silent_requests_ == cfg_.resume_at_flash_request) {
        silent_ = false;
        resumed_ = true;
    }
    if (bootloader_) {
        reply(ALREADY_IN_BOOTLOADER, r);
        return;
    }
    // Any reply but the accepting ones is the firmware's refusal: it keeps running.
    if (!cfg_.flash_mode_reply.empty() && cfg_.flash_mode_reply != ACCEPTED &&
        cfg_.flash_mode_reply != ALREADY_IN_BOOTLOADER) {
        reply(cfg_.flash_mode_reply, r);
        return;
    }
    bootloader_ = true;
    synced_ = false;
    if (cfg_.hang_up_on_flash_request) {
        hang_up(r);
        return;
    }
    reply(cfg_.flash_mode_reply, r);
}

void panel_machine::feed_bootloader(std::uint8_t b, response& r) {
    if (pending_.empty()) {
        if (b == SYNC) {
            feed_sync(r);
        } else if ((b == REQUEST_START && cfg_.answer_flash_request) || is_command(b)) {
            pending_.push_back(b);
        }
        return;
    }
    pending_.push_back(b);
    if (pending_.front() == REQUEST_START) {
        if (pending_ == FLASH_REQUEST) {
            pending_.clear();
            flash_request(r);
        } else if (!is_prefix(pending_, FLASH_REQUEST)) {
            break_packet(b, r);
        }
        return;
    }
    if (pending_.size() == 2 && b != PACKET_MARK) {
        break_packet(b, r);
        return;
    }
    if (pending_.size() == packet_length(pending_.front())) {
        complete_packet(r);
        pending_.clear();
    }
}

// Once synchronised, a bootloader may take a sync byte for noise.
void panel_machine::feed_sync(response& r) {
    ++stats_.sync_attempts;
    if (synced_ && !cfg_.answer_sync_when_synced) {
        return;
    }
    const auto answer = static_cast<std::size_t>(std::max(0, cfg_.sync_reply_bytes));
    synced_ = synced_ || answer > 0;
    reply(bytes(answer, SYNC_ANSWER), r);
}

// The packet begun is given up at `b`, which may start the next one.
void panel_machine::break_packet(std::uint8_t b, response& r) {
    pending_.clear();
    if (cfg_.reread_breaking_bytes) {
        feed_bootloader(b, r);
    }
}

void panel_machine::complete_packet(response& r) {
    packet p;
    const bytes data = apply_packet(p, r);
    if (answers_stopped()) {
        silent_ = true;
    }
    // No answer left to give: the packet is met with the hang-up (at once when set to 0).
    if (hang_up_reached()) {
        hang_up(r);
        return;
    }
    if (p.command == CMD_WRITE && !p.checksum_ok && cfg_.bad_writes == bad_write::unanswered) {
        return;
    }
    answer_packet(p, data, r);
}

// Records the packet and does what it asks; returns the data a read sends back. Addresses
// are taken as the block they fall in, wrapped into the flash; violations are judged on
// the address as sent.
bytes panel_machine::apply_packet(packet& p, response& r) {
    p.command = pending_[0];
    std::size_t block = 0;
    if (p.command != CMD_EXIT) {
        p.address = pending_[2] << 8 | pending_[3];
        block = static_cast<std::size_t>(p.address & (FLASH_SIZE - 1) & ~(BLOCK_SIZE - 1));
    }
    const std::span<std::uint8_t> cells = std::span(flash_).subspan(block, BLOCK_SIZE);
    bytes read;
    switch (p.command) {
    case CMD_EXIT:
        leave_bootloader(last_byte_ns_);
        break;
    case CMD_ERASE:
        reprogrammed_ = true;
        std::fill(cells.begin(), cells.end(), std::uint8_t{0xFF});
        ++stats_.erases;
        r.work_ms = cfg_.erase_ms;
        break;
    case CMD_WRITE:
        reprogrammed_ = true;
        p.checksum_ok = program_block(cells);
        ++stats_.writes;
        r.work_ms = cfg_.write_ms;
        break;
    case CMD_READ:
        read = read_back(p, cells);
        break;
    }
    packets_.push_back(p);
    if (is_violation(p)) {
        violations_.push_back(p);
    }
    return read;
}

// A write packet's data goes into its block only when its checksum is right, unless the panel
// is set to program bad writes as received; returns whether it was right. Programming only
// clears bits, as real flash does.
bool panel_machine::program_block(std::span<std::uint8_t> cells) const {
    const auto data = std::span(pending_).subspan(4, BLOCK_SIZE);
    const unsigned sum = std::accumulate(data.begin(), data.end(), 0u);
    const bool checksum_ok = (sum & 0xFF) == pending_.back();
    if (!checksum_ok && cfg_.bad_writes != bad_write::program) {
        return false;
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
        cells[i] &= data[i];
    }
    return checksum_ok;
}

// The block as a read sends it back: faulty for the first fault_reads reads of the
// fault block.
bytes panel_machine::read_back(const packet& p, std::span<const std::uint8_t> cells) {
    bytes data(cells.begin(), cells.end());
    if (p.address != cfg_.fault_block || faulted_reads_ >= cfg_.fault_reads) {
        return data;
    }
    ++faulted_reads_;
    if (cfg_.fault_corrupt) {
        data[0] = static_cast<std::uint8_t>(~data[0]);
    }
    if (cfg_.fault_short_bytes >= 0) {
        data.resize(std::min(data.size(), static_cast<std::size_t>(cfg_.fault_short_bytes)));
    }
    return data;
}

void panel_machine::answer_packet(const packet& p, const bytes& data, response& r) {
    r.after_work = true;
    if (!silent_) {
        bytes answer = cfg_.noise_before_ack;
        answer.push_back(ACK);
        answer.insert(answer.end(), data.begin(), data.end());
        corrupt_sent(fault_place::answer, static_cast<int>(packets_.size()) - 1, answer,
                     cfg_.noise_before_ack.size());
        reply(answer, r);
        ++answered_packets_;
    }
    if (p.command == CMD_EXIT) {
        r.actions.push_back({action_kind::session_end, {}});
    }
    // That was the last answer: the line is dropped right after it.
    if (hang_up_reached()) {
        hang_up(r);
    }
}

// The bootloader starts the firmware when the flash holds one; otherwise it starts afresh.
void panel_machine::leave_bootloader(std::int64_t at_ns) {
    synced_ = false;
    if (flash_[0] == 0xFF && flash_[1] == 0xFF) {
        return;
    }
    bootloader_ = false;
    firmware_from_ns_ = at_ns + static_cast<std::int64_t>(cfg_.firmware_start_ms * 1e6);
}

bool panel_machine::answers_stopped() const {
    return !resumed_ && cfg_.stop_after_packets >= 0 &&
           answered_packets_ >= cfg_.stop_after_packets;
}

// The panel has given as many answers as it gives before dropping the line. The count
// never passes the limit: the hang-up silences the panel.
bool panel_machine::hang_up_reached() const {
    return cfg_.hang_up_after_packets >= 0 && answered_packets_ >= cfg_.hang_up_after_packets;
}

void panel_machine::reply(const bytes& data, response& r) const {
    if (!silent_ && !data.empty()) {
        r.actions.push_back({action_kind::reply, data});
    }
}

// The byte as the panel receives it: a fault set for its place in the packet being assembled
// flips it before the bootloader sees it, so a flipped command byte starts no packet.
std::uint8_t panel_machine::corrupt_received(std::uint8_t b) {
    const bool in_packet = !pending_.empty() && pending_.front() != REQUEST_START;
    if (!in_packet && !(pending_.empty() && is_command(b))) {
        return b;
    }
    const int index = static_cast<int>(packets_.size());
    const int position = static_cast<int>(pending_.size());
    for (std::size_t i = 0; i < cfg_.byte_faults.size(); ++i) {
        const byte_fault& f = cfg_.byte_faults[i];
        if (!faults_done_[i] && f.place == fault_place::packet && f.index == index &&
            f.byte == position) {
            faults_done_[i] = true;
            b = static_cast<std::uint8_t>(b ^ f.mask);
        }
    }
    return b;
}

// Flips the bytes of an answer that faults are set for, counting from `first`.
void panel_machine::corrupt_sent(fault_place place, int index, bytes& data, std::size_t first) {
    for (std::size_t i = 0; i < cfg_.byte_faults.size(); ++i) {
        const byte_fault& f = cfg_.byte_faults[i];
        const std::size_t at = first + static_cast<std::size_t>(f.byte);
        if (!faults_done_[i] && f.place == place && f.index == index && at < data.size()) {
            faults_done_[i] = true;
            data[at] = static_cast<std::uint8_t>(data[at] ^ f.mask);
        }
    }
}

void panel_machine::hang_up(response& r) {
    silent_ = true; // nothing more is answered on a line about to drop
    r.actions.push_back({action_kind::hang_up, {}});
}

} // namespace panelsim
