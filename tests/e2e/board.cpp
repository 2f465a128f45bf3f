#include "board.h"

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace korvin::test {

namespace {

std::string frame(uint16_t command, uint32_t address, uint32_t count, uint8_t type) {
    std::string f(16, '\0');
    f[0] = static_cast<char>(command >> 8);
    f[1] = static_cast<char>(command);
    for (int i = 0; i < 4; ++i) {
        f[2 + i] = static_cast<char>(address >> (24 - 8 * i));
        f[7 + i] = static_cast<char>(count >> (24 - 8 * i));
    }
    f[15] = static_cast<char>(type);
    return f;
}

constexpr uint32_t STATUS_READY = 0x56787856;
constexpr uint32_t STATUS_READY_ALT = 0xF0F0F0F0;
constexpr uint32_t STATUS_COMPLETE = 0x88888888;

} // namespace

Board::Board(const std::string& port) {
    fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + port);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

Board::~Board() {
    if (fd_ >= 0)
        close(fd_);
}

void Board::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to the board failed");
        done += static_cast<size_t>(n);
    }
}

char Board::read_byte(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r == 0)
        throw std::runtime_error("time-out waiting for the board");
    char c;
    if (r < 0 || read(fd_, &c, 1) != 1)
        throw std::runtime_error("link to the board went down");
    return c;
}

uint32_t Board::read_status(bool until_silence) {
    uint32_t status = 0;
    auto timeout = std::chrono::milliseconds(1000);
    for (int count = 0; until_silence || count < 4; ++count) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            break;
        status = status >> 8 | static_cast<uint32_t>(static_cast<uint8_t>(read_byte(timeout)))
                                   << 24;
        timeout = std::chrono::milliseconds(50);
    }
    return status;
}

char Board::boot(const std::string& image) {
    const std::string status_request = frame(0x0505, 0, 0, 0);
    for (int attempt = 0;; ++attempt) {
        if (attempt == 20)
            throw std::runtime_error("the boot ROM never answered");
        send(status_request);
        uint32_t s = read_status(true);
        if (s == STATUS_READY || s == STATUS_READY_ALT)
            break;
    }
    send(frame(0x0404, 0xFFFF4C00, static_cast<uint32_t>(image.size()), 0xAA));
    if (read_status(false) != STATUS_READY)
        throw std::runtime_error("write-file refused");
    send(image);
    send(status_request);
    if (read_status(false) != STATUS_COMPLETE)
        throw std::runtime_error("image not started");
    return read_byte(std::chrono::seconds(10));
}

Answer Board::command(char byte, std::chrono::seconds timeout) {
    send(std::string(1, byte));
    Answer a;
    for (char c; (c = read_byte(timeout)) != ':';)
        a.trace += c;
    for (char c; (c = read_byte(timeout)) != '?';)
        a.code += c;
    return a;
}

std::string boot_image() {
    return read_file(bin("boot.bin"));
}

std::vector<std::string> trace_lines(const std::string& trace) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = trace.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(trace.substr(start, end - start));
    if (start < trace.size())
        lines.push_back(trace.substr(start));
    return lines;
}

} // namespace korvin::test
