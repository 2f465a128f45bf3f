// The boot ROM on the bench: frames in, status words out, a download into memory and the
// start of the image, with the time of each byte given.
#include "boot_rom_client.h"
#include "sim/board.h"
#include "sim/boot_rom_model.h"
#include "sim/faults.h"

#include <gtest/gtest.h>

#include <map>

namespace korvin::test {
namespace {

using namespace std::chrono_literals;

struct rom_bench {
    explicit rom_bench(const std::vector<std::string>& fault_options = {}) {
        for (const auto& f : fault_options) {
            std::string error;
            EXPECT_TRUE(sim::parse_fault(f, faults, error)) << error;
        }
    }
    // The bytes arrive one a millisecond apart from `now` on; the reply, as sent.
    std::string send(const std::string& bytes) {
        sim::boot_rom::output out;
        for (char c : bytes) {
            rom.receive(static_cast<uint8_t>(c), now, out,
                        [this](uint32_t address, uint8_t byte) { memory[address] = byte; });
            now += 1ms;
        }
        started = started || out.start;
        entry = out.start ? out.entry : entry;
        return std::string(out.reply.begin(), out.reply.end());
    }
    uint32_t status(const std::string& frame) { return le32(send(frame)); }

    sim::fault_set faults;
    sim::boot_rom rom{faults.boot, sim::in_internal_ram};
    sim::time_point now{};
    std::map<uint32_t, uint8_t> memory;
    bool started = false;
    uint32_t entry = 0;
};

std::string write_file(uint32_t address, uint32_t count, uint8_t type = APPLICATION_IMAGE) {
    return boot_rom_frame(WRITE_FILE, address, count, type);
}

TEST(BootRomModel, NeverWakesWithThatFault) {
    rom_bench b({"boot:never-wakes"});
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(b.send(status_request()), "");
}

// Whether the ROM answers, refuses or starts as its faults say is tested from the line.
TEST(BootRomModel, DownloadsIntoInternalRamAndStartsTheImageThere) {
    rom_bench b;
    ASSERT_EQ(b.status(write_file(0xFFFF4C10, 3)), STATUS_READY);
    EXPECT_EQ(b.send("\x01\x02\x03"), "");
    EXPECT_EQ(b.memory,
              (std::map<uint32_t, uint8_t>{{0xFFFF4C10, 1}, {0xFFFF4C11, 2}, {0xFFFF4C12, 3}}));
    EXPECT_EQ(b.status(status_request()), STATUS_COMPLETE);
    EXPECT_TRUE(b.started);
    EXPECT_EQ(b.entry, 0xFFFF4C10u);
    rom_bench empty;
    empty.status(write_file(0xFFFF4C00, 0));
    EXPECT_EQ(empty.status(status_request()), STATUS_COMPLETE) << "an empty image starts too";
}

TEST(BootRomModel, IgnoresFramesItDoesNotTake) {
    for (const std::string& f : {
             boot_rom_frame(0x0101, 0xFFFF4C00, 4, 0xAA), // a command korvin never sends
             write_file(0xFFFF4C00, 16, 0xCC),            // not an application image
             write_file(0x20000000, 16),                  // not internal RAM
             write_file(0xFFFF4BFF, 16),                  // starts below it
             write_file(0xFFFFFFF0, 17),                  // runs past its top
         }) {
        rom_bench b;
        EXPECT_EQ(b.send(f), "");
        EXPECT_EQ(b.status(status_request()), STATUS_READY) << "no download began";
        EXPECT_FALSE(b.started);
    }
    rom_bench b;
    EXPECT_EQ(b.status(write_file(0xFFFFFFF0, 16)), STATUS_READY) << "up to the top is fine";
}

TEST(BootRomModel, DropsAPartialFrameAfterSilence) {
    // A stray start of a frame that is no command, then the host's status request.
    rom_bench b;
    b.send("\x01\x02\x03");
    b.now += 99ms;
    EXPECT_EQ(b.send(status_request()), "") << "within 100 ms of silence the frame goes on";
    b.rom.reset();
    b.send("\x01\x02\x03");
    b.now += 101ms;
    EXPECT_EQ(b.status(status_request()), STATUS_READY);
}

} // namespace
} // namespace korvin::test
