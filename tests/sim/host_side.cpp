#include "host_side.h"

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace korvin::test {

std::string program(const std::string& name) {
    const std::string bytes = read_file(std::string(KORVIN_SIM_PROGRAMS) + "/" + name + ".bin");
    if (bytes.empty())
        throw std::runtime_error("test program " + name + " missing");
    return bytes;
}

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

std::string status_request() {
    return frame(0x0505, 0, 0, 0);
}

uint32_t le32(const std::string& b) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < b.size(); ++i)
        v |= uint32_t{static_cast<uint8_t>(b[i])} << (8 * i);
    return v;
}

HostSide::HostSide(const std::string& port) {
    fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + port);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

HostSide::~HostSide() {
    close();
}

void HostSide::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void HostSide::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to the board failed");
        done += static_cast<size_t>(n);
    }
}

std::string HostSide::receive(size_t n, std::chrono::milliseconds first,
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

bool HostSide::boot(const std::string& image) {
    send(status_request());
    if (le32(receive(4)) != 0x56787856)
        return false;
    send(frame(0x0404, 0xFFFF4C00, static_cast<uint32_t>(image.size()), 0xAA));
    if (le32(receive(4)) != 0x56787856)
        return false;
    send(image);
    send(status_request());
    return le32(receive(4)) == 0x88888888;
}

namespace {

std::string field(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

char command(unsigned bits, bool write) {
    const char c = bits == 8 ? 'b' : bits == 16 ? 'h' : 'w';
    return write ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::optional<uint32_t> HostSide::peek(unsigned bits, uint32_t address) {
    send(std::string(1, command(bits, false)) + field(address));
    const std::string r = receive(4);
    if (r.size() != 4)
        return std::nullopt;
    return le32(r);
}

bool HostSide::poke(unsigned bits, uint32_t address, uint32_t value) {
    send(std::string(1, command(bits, true)) + field(address) + field(value));
    return receive(1) == ".";
}

std::optional<uint32_t> HostSide::poll16(uint32_t address, uint32_t mask, uint32_t want) {
    send("p" + field(address) + field(mask) + field(want));
    const std::string r = receive(4, 10000ms);
    if (r.size() != 4)
        return std::nullopt;
    return le32(r);
}

void HostSide::spin() {
    send("x" + field(0));
}

void HostSide::jump(uint32_t address) {
    send("j" + field(address));
}

} // namespace korvin::test
