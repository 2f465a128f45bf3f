#pragma once
// A small Linux guest under QEMU (TCG) that runs korvin through real serial
// drivers: the 8250 driver of an emulated 16550 UART and ftdi_sio behind an
// emulated xHCI controller. tests/drivers/init.sh is its /init; this side
// sends it commands on the console (a pair of FIFOs) and rewires the board
// end of its serial ports through QMP.
#include "process.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {

// What a korvin run in the guest ended with.
struct guest_run {
    bool ended = false; // false: no @@END within the time given
    int status = -1;
    std::string out, err;
};

class qemu_guest {
  public:
    // Why no guest can be booted here ("" when it can): the image that
    // guest.sh builds into `image_dir`, and QEMU.
    static std::string unavailable(const std::string& image_dir);

    // Boots the guest; booted() tells whether it reached its command loop.
    qemu_guest(const std::string& image_dir, const std::string& work_dir);
    ~qemu_guest();
    qemu_guest(const qemu_guest&) = delete;
    qemu_guest& operator=(const qemu_guest&) = delete;

    bool booted() const { return booted_; }
    // How long the boot took, up to the command loop.
    std::chrono::milliseconds boot_time() const { return boot_time_; }

    // One QMP command ("{\"execute\": ...}"): "" on success, else the error.
    std::string qmp(const std::string& command);
    // Waits for a QMP event whose line holds `text` (e.g. the device's id).
    bool wait_event(const std::string& text, std::chrono::milliseconds timeout);

    // One command line for /init.
    void send(const std::string& line);
    // Waits for an answer line that equals `line`, or begins with it and a
    // space, and was not taken before; returns it ("" on time-out).
    std::string wait_answer(const std::string& line, std::chrono::milliseconds timeout);
    // Waits for the end of run `id` and collects its streams.
    guest_run wait_run(const std::string& id, std::chrono::milliseconds timeout);
    // The console so far and what QEMU said, for failure messages.
    std::string console() const;
    std::string qemu_errors() const { return qemu_->err(); }
    // The guest kernel's log.
    std::string dmesg();

  private:
    void read_console();
    bool qmp_line(std::string& line, std::chrono::steady_clock::time_point end);
    bool qmp_closed();

    std::string work_dir_;
    std::unique_ptr<child_process> qemu_;
    int console_in_ = -1, console_out_ = -1, qmp_fd_ = -1;
    bool booted_ = false;
    std::chrono::milliseconds boot_time_{0};
    int answer_count_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string console_;            // everything, as it came
    std::vector<std::string> lines_; // complete lines, without line ends
    std::vector<bool> taken_;        // answers already waited for
    bool stop_ = false;
    std::thread reader_;

    std::string qmp_buffer_;
    std::vector<std::string> events_;
};

} // namespace korvin::test
