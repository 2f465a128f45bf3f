// The serial link, the status word and the download, in-process against a
// scripted peer on a pseudo-terminal.
#include "boot_rom.h"
#include "peer.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>

namespace korvin {
namespace {

using namespace korvin::test;

// The peer with korvin's side of the link open and configured. Scripts begin
// with an expect, so that nothing they send is lost to the purge.
struct link_pair {
    explicit link_pair(std::vector<step> script) : peer(std::move(script)) {
        opened = serial_open_path(peer.path());
        serial_configure(115200);
    }
    ~link_pair() { serial_close(); }
    scripted_peer peer;
    int opened = 0;
};

TEST(SerialLink, PassesEveryByteValueUnchanged) {
    std::string all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<char>(v));
    link_pair link({expect(256), send(all)});
    ASSERT_EQ(link.opened, 1);
    for (int v = 0; v < 256; ++v)
        serial_write_byte(static_cast<unsigned>(v) + 0x100); // only the low 8 bits go out
    for (int v = 0; v < 256; ++v) {
        bool missed = true;
        ASSERT_EQ(serial_read_byte(1000, &missed), static_cast<unsigned>(v));
        EXPECT_FALSE(missed);
    }
    EXPECT_EQ(link.peer.received(), all);
    EXPECT_FALSE(serial_failed());
}

TEST(SerialLink, SilenceIsAMissButNotAFailure) {
    link_pair link({expect(1)});
    bool missed = false;
    EXPECT_EQ(serial_read_byte(50, &missed), 0u);
    EXPECT_TRUE(missed);
    EXPECT_EQ(serial_read_byte(20), 0u); // without a flag
    EXPECT_FALSE(serial_failed());
}

TEST(SerialLink, AHangUpFailsTheReadEvenWithoutTimeOut) {
    link_pair link({expect(1), hang_up()});
    serial_write_byte('x');
    ASSERT_TRUE(link.peer.wait_done());
    bool missed = false;
    EXPECT_EQ(serial_read_byte(0, &missed), 0u);
    EXPECT_TRUE(missed);
    EXPECT_TRUE(serial_failed());
}

TEST(SerialLink, ConfigureDiscardsWhatArrivedBefore) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);
    ASSERT_EQ(serial_open_path(path), 1);
    ASSERT_EQ(write(master, "stale", 5), 5);
    usleep(20000);
    serial_configure(115200);
    ASSERT_EQ(write(master, "N", 1), 1);
    EXPECT_EQ(serial_read_byte(1000), static_cast<unsigned>('N'));
    serial_close();
    close(master);
}

TEST(Frames, AreBigEndianAtTheirOffsets) {
    const sdp_frame status{0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const sdp_frame write{0x04, 0x04, 0xFF, 0xFF, 0x4C, 0x00, 0x00, 0x00,
                          0x00, 0x0B, 0x0C, 0x00, 0x00, 0x00, 0x00, 0xAA};
    const sdp_frame fields{0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0x5A, 0x01,
                           0x02, 0x03, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0x77};
    EXPECT_EQ(sdp_build_frame(SDP_GET_STATUS, 0, 0, 0, 0, 0), status);
    EXPECT_EQ(sdp_build_frame(SDP_WRITE_FILE, BOOT_LOAD_ADDRESS, 0, 2828, 0, 0xAA), write);
    EXPECT_EQ(sdp_build_frame(0x1234, 0x89ABCDEF, 0x5A, 0x01020304, 0xA1B2C3D4, 0x77), fields);
}

TEST(StatusWord, IsTheLastFourBytesEarliestLeastSignificant) {
    struct {
        std::string answer;
        bool until_silence;
        std::uint32_t status;
        std::string left_on_line;
    } cases[] = {
        {READY, false, STATUS_READY, ""},
        {bytes({0x01, 0x02, 0x03, 0x04}), false, 0x04030201, ""},
        {bytes({0x00, 0x56, 0x78, 0x78, 0x56}), true, STATUS_READY, ""},
        {bytes({0x00, 0x56, 0x78, 0x78, 0x56}), false, 0x78785600, bytes({0x56})},
        {bytes({0x78, 0x78, 0x56}), true, 0x56787800, ""},
        {bytes({0xAB}), false, 0xAB000000, ""},
        {"", true, 0, ""},
        {"", false, 0, ""},
    };
    for (const auto& c : cases) {
        link_pair link({expect(16), send(c.answer)});
        sdp_send_command(SDP_GET_STATUS, 0, 0, 0, 0, 0);
        EXPECT_EQ(sdp_read_status(c.until_silence, 200), c.status)
            << std::hex << "answer of " << c.answer.size() << " bytes";
        std::string rest;
        for (bool missed = false;;) {
            const unsigned b = serial_read_byte(50, &missed);
            if (missed)
                break;
            rest.push_back(static_cast<char>(b));
        }
        EXPECT_EQ(rest, c.left_on_line);
        const sdp_frame request = sdp_build_frame(SDP_GET_STATUS, 0, 0, 0, 0, 0);
        EXPECT_EQ(link.peer.received(), std::string(request.begin(), request.end()));
    }
}

TEST(Download, StreamsTheWholeImageAndCountsItsPercentages) {
    std::string image;
    for (int i = 0; i < 2828; ++i)
        image.push_back(static_cast<char>(i * 7 + 3));
    link_pair link(boot_rom_accepts(image.size()));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int started =
        boot_rom_download(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(started, 1);

    std::string expected = "Waiting for the board to wake up...\r" + std::string(35, ' ') +
                           "\rDownloading boot code...(  0%)";
    for (int pct :
         {4, 9, 13, 18, 22, 27, 31, 36, 40, 45, 49, 54, 58, 63, 67, 72, 76, 81, 85, 90, 95, 99}) {
        char update[16];
        snprintf(update, sizeof update, "\b\b\b\b\b%3d%%)", pct);
        expected += update;
    }
    expected += "\r" + std::string(30, ' ') + "\r";
    EXPECT_EQ(out, expected);

    const auto frame = [](const sdp_frame& f) { return std::string(f.begin(), f.end()); };
    const std::string status = frame(sdp_build_frame(SDP_GET_STATUS, 0, 0, 0, 0, 0));
    const std::string write_file =
        frame(sdp_build_frame(SDP_WRITE_FILE, BOOT_LOAD_ADDRESS, 0, 2828, 0, 0xAA));
    EXPECT_EQ(link.peer.received(), status + write_file + image + status);
}

} // namespace
} // namespace korvin
