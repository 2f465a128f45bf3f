#include "peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace korvin::test {

const std::string READY = bytes({0x56, 0x78, 0x78, 0x56});
const std::string READY_ALT = bytes({0xF0, 0xF0, 0xF0, 0xF0});
const std::string COMPLETE = bytes({0x88, 0x88, 0x88, 0x88});

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

scripted_peer::scripted_peer(std::vector<step> script) : script_(std::move(script)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    path_ = ptsname(master_);
    // Held open so that the master does not report a hang-up before korvin
    // has opened the slave.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    thread_ = std::thread([this] { play(); });
}

scripted_peer::~scripted_peer() {
    stop_ = true;
    thread_.join();
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
}

std::string scripted_peer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool scripted_peer::wait_done(int timeout_ms) const {
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (done_)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done_;
}

bool scripted_peer::take(std::size_t n) {
    std::size_t got = 0;
    while (!stop_ && (n == 0 || got < n)) {
        pollfd pfd{master_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) {
            if (pfd.revents & POLLHUP)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        char buf[4096];
        const std::size_t want = n == 0 ? sizeof buf : std::min(sizeof buf, n - got);
        const ssize_t r = read(master_, buf, want);
        if (r <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        got += static_cast<std::size_t>(r);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<std::size_t>(r));
    }
    return got == n;
}

void scripted_peer::play() {
    for (const step& s : script_) {
        if (stop_)
            break;
        switch (s.what) {
        case step::kind::expect:
            take(s.count);
            break;
        case step::kind::send:
            if (write(master_, s.bytes.data(), s.bytes.size()) !=
                static_cast<ssize_t>(s.bytes.size()))
                throw std::runtime_error("peer write failed");
            break;
        case step::kind::pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(s.count));
            break;
        case step::kind::hang_up:
            // Closing the master is what an unplugged adapter looks like.
            close(master_);
            master_ = -1;
            close(slave_);
            slave_ = -1;
            done_ = true;
            return;
        }
    }
    done_ = true;
    take(0); // until stopped
}

std::vector<step> boot_rom_accepts(std::size_t image_length) {
    return {expect(16),           send(READY), expect(16),    send(READY),
            expect(image_length), expect(16),  send(COMPLETE)};
}

std::vector<step> monitor_answers(const std::vector<std::string>& replies) {
    std::vector<step> s{send("?")};
    for (const auto& r : replies) {
        s.push_back(expect(1));
        s.push_back(send(r + "?"));
    }
    return s;
}

} // namespace korvin::test
