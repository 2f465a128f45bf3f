#pragma once
// A scripted board on a pseudo-terminal: korvin opens the slave side, the
// script plays the boot ROM and the monitor on the master side and records
// every byte korvin sent.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {

struct step {
    enum class kind { expect, send, hang_up, pause } what;
    std::size_t count = 0; // expect: bytes to take from korvin; pause: milliseconds
    std::string bytes;     // send: bytes for korvin
};

inline step expect(std::size_t n) {
    return {step::kind::expect, n, {}};
}
inline step send(const std::string& bytes) {
    return {step::kind::send, 0, bytes};
}
inline step hang_up() {
    return {step::kind::hang_up, 0, {}};
}
// Time for korvin to read what was sent: a hang-up discards unread input.
inline step pause(std::size_t ms) {
    return {step::kind::pause, ms, {}};
}

// Byte strings of the boot ROM protocol.
extern const std::string READY, READY_ALT, COMPLETE;
std::string bytes(std::initializer_list<int> values);

class scripted_peer {
  public:
    // The script runs at once; after its last step the peer keeps reading
    // and answers nothing.
    explicit scripted_peer(std::vector<step> script);
    ~scripted_peer();
    scripted_peer(const scripted_peer&) = delete;
    scripted_peer& operator=(const scripted_peer&) = delete;

    const std::string& path() const { return path_; }
    // Everything received so far.
    std::string received() const;
    // Waits until the script has run to its end.
    bool wait_done(int timeout_ms = 20000) const;

  private:
    void play();
    bool take(std::size_t n);
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::vector<step> script_;
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<bool> stop_{false}, done_{false};
    std::thread thread_;
};

// Script pieces: the boot ROM accepting the image, the monitor answering.
std::vector<step> boot_rom_accepts(std::size_t image_length);
// The monitor's prompt, then for each reply: one command byte in, the reply
// and the next prompt out.
std::vector<step> monitor_answers(const std::vector<std::string>& replies);

} // namespace korvin::test
