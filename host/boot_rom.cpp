#include "boot_rom.h"

#include "events.h"
#include "explain.h"
#include "processes.h"
#include "serial.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace korvin {

sdp_frame sdp_build_frame(std::uint16_t command, std::uint32_t address, std::uint8_t format,
                          std::uint32_t data_count, std::uint32_t data, std::uint8_t file_type) {
    sdp_frame f{};
    auto put32 = [&f](std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i)
            f[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    f[0] = static_cast<std::uint8_t>(command >> 8);
    f[1] = static_cast<std::uint8_t>(command);
    put32(2, address);
    f[6] = format;
    put32(7, data_count);
    put32(11, data);
    f[15] = file_type;
    return f;
}

void sdp_send_command(std::uint16_t command, std::uint32_t address, std::uint8_t format,
                      std::uint32_t data_count, std::uint32_t data, std::uint8_t file_type) {
    for (std::uint8_t b : sdp_build_frame(command, address, format, data_count, data, file_type))
        serial_write_byte(b);
}

namespace {

// sdp_read_status that also keeps the bytes it received (the first 64), so
// that a refusal can be explained.
std::uint32_t read_status(bool until_silence, std::uint32_t first_timeout_ms,
                          std::string* received) {
    std::uint32_t acc = 0;
    unsigned count = 0;
    std::uint32_t timeout = first_timeout_ms;
    for (;;) {
        bool missed = false;
        const unsigned b = serial_read_byte(timeout, &missed);
        if (missed)
            break;
        acc = (acc << 8) | b;
        if (received && received->size() < 64)
            *received += static_cast<char>(b);
        timeout = 10;
        ++count;
        if (count == 4 && !until_silence)
            break;
    }
    return (acc >> 24) | ((acc >> 8) & 0xFF00u) | ((acc << 8) & 0xFF0000u) | (acc << 24);
}

const char* line_state(line_behaviour behaviour) {
    switch (behaviour) {
    case line_behaviour::silent:
        return "silent";
    case line_behaviour::echo:
        return "echo";
    case line_behaviour::monitor:
        return "monitor";
    case line_behaviour::secure:
        return "secure";
    case line_behaviour::other:
        return "other";
    case line_behaviour::unknown:
        break;
    }
    return "";
}

void emit_simple(event_kind kind, int percent = 0) {
    run_event e;
    e.kind = kind;
    e.percent = percent;
    emit_event(e);
}

std::string status_request_frame() {
    const sdp_frame f = sdp_build_frame(SDP_GET_STATUS, 0, 0, 0, 0, 0);
    return std::string(f.begin(), f.end());
}

// What the line does now, as an event when it changed: the events follow
// the line (a board pulled after its run falls silent), where the
// explanation keeps what it did first.
line_behaviour follow_line(const wake_observation& seen, const std::string& answer,
                           line_behaviour& shown) {
    const line_behaviour now = !answer.empty() ? classify_answer(status_request_frame(), answer)
                               : seen.silent_in_a_row >= SILENT_REQUESTS ? line_behaviour::silent
                                                                         : line_behaviour::unknown;
    if (now != line_behaviour::unknown && now != shown) {
        shown = now;
        run_event e;
        e.kind = event_kind::line;
        e.state = line_state(now);
        emit_event(e);
    }
    return now;
}

} // namespace

void boot_rom_watch_until_swapped(bool ready_ends) {
    wake_observation seen;
    line_behaviour shown = line_behaviour::unknown;
    // The test run reads only the first result digit: the monitor's next
    // prompt is still on the line, and would make the first answer look like
    // bytes of another device.
    read_status(true, 100, nullptr);
    for (;;) {
        sdp_send_command(SDP_GET_STATUS, 0, 0, 0, 0, 0);
        std::string answer;
        const std::uint32_t status = read_status(true, 1000, &answer);
        const bool ready = status == STATUS_READY_ALT || status == STATUS_READY;
        if ((ready && ready_ends) || serial_failed() || stop_requested() || parent_gone())
            return;
        if (ready)
            continue; // the same board's boot ROM, as far as anyone can tell
        seen.record(status_request_frame(), answer);
        if (follow_line(seen, answer, shown) == line_behaviour::silent)
            return;
    }
}

std::uint32_t sdp_read_status(bool until_silence, std::uint32_t first_timeout_ms) {
    return read_status(until_silence, first_timeout_ms, nullptr);
}

int boot_rom_download(const unsigned char* image, std::size_t length,
                      const download_settings& settings) {
    const int wait_seconds = settings.wait_seconds;
    std::printf("Waiting for the board to wake up...");
    wake_observation seen;
    line_behaviour shown = line_behaviour::unknown;
    bool explained = false;
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(wait_seconds);
    for (;;) {
        std::uint32_t first_timeout = 1000;
        if (wait_seconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0) {
                print_error("\rThe board did not answer within %d seconds.\n", wait_seconds);
                // A bound shorter than the silent requests it takes to be sure
                // of silence still says what it saw.
                if (seen.behaviour == line_behaviour::unknown && seen.silent_in_a_row > 0)
                    seen.behaviour = line_behaviour::silent;
                std::fputs(explain_wake(seen).c_str(), stderr);
                return 0;
            }
            // The last request gets only what is left of the bound.
            first_timeout = static_cast<std::uint32_t>(std::min<long long>(1000, left.count()));
        }
        sdp_send_command(SDP_GET_STATUS, 0, 0, 0, 0, 0);
        std::string answer;
        const std::uint32_t status = read_status(true, first_timeout, &answer);
        if (status == STATUS_READY_ALT || status == STATUS_READY)
            break;
        if (serial_failed() || stop_requested() || parent_gone())
            return 0;
        seen.record(status_request_frame(), answer);
        follow_line(seen, answer, shown);
        if (settings.explain && !explained && seen.behaviour != line_behaviour::unknown) {
            // Once, below the waiting message, which stays where it is.
            std::fprintf(stderr, "\n%s", explain_wake(seen).c_str());
            explained = true;
        }
    }
    emit_simple(event_kind::wake);
    if (settings.after_wake && !settings.after_wake())
        return 0;
    std::printf("\r                                   \r");
    std::printf("Downloading boot code...(  0%%)");
    emit_simple(event_kind::download, 0);

    sdp_send_command(SDP_WRITE_FILE, BOOT_LOAD_ADDRESS, 0, static_cast<std::uint32_t>(length), 0,
                     SDP_FILE_TYPE_IMAGE);
    std::string answer;
    if (read_status(false, 1000, &answer) != STATUS_READY) {
        if (serial_failed() || stop_requested())
            return 0;
        print_error("\rCould not initiate code download.\n");
        if (settings.explain)
            std::fputs(explain_refusal(false, answer).c_str(), stderr);
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        serial_write_byte(image[i]);
        if (i % 128 == 127) {
            // Pace the stream for the boot ROM: a pause after every 128 bytes.
            pause_10ms();
            const unsigned percent = static_cast<unsigned>((i + 1) * 100 / length);
            std::printf("\b\b\b\b\b%3u%%)", percent);
            emit_simple(event_kind::download, static_cast<int>(percent));
        }
    }
    std::printf("\r                              \r");

    sdp_send_command(SDP_GET_STATUS, 0, 0, 0, 0, 0);
    answer.clear();
    if (read_status(false, 1000, &answer) != STATUS_COMPLETE) {
        if (serial_failed() || stop_requested())
            return 0;
        print_error("\rCould not start code execution.\n");
        if (settings.explain)
            std::fputs(explain_refusal(true, answer).c_str(), stderr);
        return 0;
    }
    return 1;
}

} // namespace korvin
