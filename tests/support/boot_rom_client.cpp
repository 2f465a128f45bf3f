#include "boot_rom_client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace korvin::test {

std::string boot_rom_frame(uint16_t command, uint32_t address, uint32_t count, uint8_t type) {
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

std::string status_request() {
    return boot_rom_frame(GET_STATUS, 0, 0, 0);
}

uint32_t le32(const std::string& b) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < b.size(); ++i)
        v |= uint32_t{static_cast<uint8_t>(b[i])} << (8 * i);
    return v;
}

boot_rom_client::boot_rom_client(const std::string& port) {
    fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + port);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

boot_rom_client::~boot_rom_client() {
    close();
}

void boot_rom_client::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void boot_rom_client::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to the board failed");
        done += static_cast<size_t>(n);
    }
}

std::string boot_rom_client::receive(size_t n, std::chrono::milliseconds first,
                                     std::chrono::milliseconds gap) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        const auto timeout = out.empty() ? first : gap;
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1 || !(p.revents & POLLIN))
            break;
        char buf[256];
        const ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

char boot_rom_client::read_byte(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r == 0)
        throw std::runtime_error("time-out waiting for the board");
    char c;
    if (r < 0 || read(fd_, &c, 1) != 1)
        throw std::runtime_error("link to the board went down");
    return c;
}

// The status word is the last four bytes received, as korvin takes it.
uint32_t boot_rom_client::read_status(bool until_silence) {
    const std::string bytes =
        receive(until_silence ? 4096 : 4, 1000ms, until_silence ? 50ms : 100ms);
    return le32(bytes.size() > 4 ? bytes.substr(bytes.size() - 4) : bytes);
}

uint32_t boot_rom_client::wake(int attempts) {
    uint32_t status = 0;
    for (int i = 0; i < attempts; ++i) {
        send(status_request());
        status = read_status(true);
        if (status == STATUS_READY || status == STATUS_READY_ALT)
            break;
    }
    return status;
}

bool boot_rom_client::download(const std::string& image) {
    auto failed = [this](const char* step, uint32_t status) {
        char text[96];
        std::snprintf(text, sizeof text, "%s (status 0x%08x)", step, status);
        error_ = text;
        return false;
    };
    send(boot_rom_frame(WRITE_FILE, LOAD_ADDRESS, static_cast<uint32_t>(image.size()),
                        APPLICATION_IMAGE));
    if (const uint32_t s = read_status(false); s != STATUS_READY)
        return failed("write-file refused", s);
    send(image);
    send(status_request());
    if (const uint32_t s = read_status(false); s != STATUS_COMPLETE)
        return failed("image not started", s);
    return true;
}

bool boot_rom_client::boot(const std::string& image) {
    error_.clear();
    if (const uint32_t s = wake(); s != STATUS_READY && s != STATUS_READY_ALT) {
        error_ = "the boot ROM never answered";
        return false;
    }
    return download(image);
}

} // namespace korvin::test
