// korvin's termios code against real Linux serial drivers: a static korvin
// runs in a QEMU guest on the 8250 driver of an emulated 16550 UART (ttyS1)
// and on ftdi_sio behind an emulated xHCI controller (ttyUSB0), and the
// other end of either port is a korvin-sim on this machine.
//
// The simulator resets its board only when its line is closed, and QEMU
// keeps the line open for as long as the port is wired to it; so every run
// gets a fresh simulator, wired to the port just before and unwired after.
#include "guest.h"
#include "korvin_output.h"
#include "process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <iostream>
#include <memory>

namespace korvin::test {
namespace {

using clock = std::chrono::steady_clock;

const std::string PASSED3 =
    "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n";

std::string last_lines(const std::string& text, int n) {
    std::size_t at = text.size();
    for (int i = 0; i <= n && at != std::string::npos && at > 0; ++i)
        at = text.rfind('\n', at - 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

std::string describe(const guest_run& r) {
    return "status " + std::to_string(r.status) + "\n--- out\n" + r.out + "\n--- err\n" + r.err;
}

// The one guest of this test process, booted by the first case.
std::unique_ptr<qemu_guest> the_guest;

class guest_environment : public testing::Environment {
  public:
    void TearDown() override { the_guest.reset(); }
};

const testing::Environment* const GUEST_ENVIRONMENT =
    testing::AddGlobalTestEnvironment(new guest_environment);

// The board end of the port korvin opens in the guest.
class board_link {
  public:
    virtual ~board_link() = default;
    virtual std::string device() const = 0;        // the port's node in the guest
    virtual std::string port_argument() const = 0; // what korvin's -p takes for it
    virtual std::string port_name() const = 0;     // how korvin names it in messages
    // Wires the port to the simulator's pseudo-terminal; "" or the error.
    virtual std::string plug(qemu_guest& guest, const std::string& pty) = 0;
    // Takes the simulator away again; "" or the error.
    virtual std::string unplug(qemu_guest& guest) = 0;
};

// The second 16550 of the PC: its chardev is swapped under the running
// guest, as a cable is moved from one board to the next.
class uart_16550 : public board_link {
  public:
    std::string device() const override { return "/dev/ttyS1"; }
    std::string port_argument() const override { return "2"; }
    std::string port_name() const override { return "COM2"; }
    std::string plug(qemu_guest& guest, const std::string& pty) override {
        return guest.qmp(R"({"execute": "chardev-change", "arguments": {"id": "uart", )"
                         R"("backend": {"type": "serial", "data": {"device": ")" +
                         pty + "\"}}}}");
    }
    // The null chardev: nothing arrives any more, and what korvin sends is
    // lost, as with a cable pulled from the board.
    std::string unplug(qemu_guest& guest) override {
        return guest.qmp(R"({"execute": "chardev-change", "arguments": {"id": "uart", )"
                         R"("backend": {"type": "null", "data": {}}}})");
    }
};

// QEMU's usb-serial, an FTDI FT232: a new adapter for every simulator (its
// chardev cannot be swapped), hot-plugged into the xHCI root hub.
class ftdi_adapter : public board_link {
  public:
    std::string device() const override { return "/dev/ttyUSB0"; }
    std::string port_argument() const override { return device(); }
    std::string port_name() const override { return device(); }
    std::string plug(qemu_guest& guest, const std::string& pty) override {
        ++count_;
        std::string error =
            guest.qmp(R"({"execute": "chardev-add", "arguments": {"id": ")" + chardev() +
                      R"(", "backend": {"type": "serial", "data": {"device": ")" + pty + "\"}}}}");
        if (error.empty())
            error = guest.qmp(R"({"execute": "device_add", "arguments": {"driver": "usb-serial", )"
                              R"("bus": "xhci.0", "id": ")" +
                              usb_id() + R"(", "chardev": ")" + chardev() + "\"}}");
        plugged_ = error.empty();
        return error;
    }
    // Pulls the adapter out of the guest's USB port.
    std::string remove(qemu_guest& guest) {
        if (!plugged_)
            return "";
        plugged_ = false;
        std::string error =
            guest.qmp(R"({"execute": "device_del", "arguments": {"id": ")" + usb_id() + "\"}}");
        // Only DEVICE_DELETED carries a "device" member.
        if (error.empty() && !guest.wait_event("\"device\": \"" + usb_id() + "\"", 20s))
            error = "no DEVICE_DELETED event for " + usb_id();
        return error;
    }
    std::string unplug(qemu_guest& guest) override {
        std::string error = remove(guest);
        const std::string closed = guest.qmp(
            R"({"execute": "chardev-remove", "arguments": {"id": ")" + chardev() + "\"}}");
        if (error.empty())
            error = closed;
        // The next adapter is ttyUSB0 again only once the guest let this one go.
        const std::string id = "gone" + std::to_string(count_);
        guest.send("gone " + id + " " + device());
        if (guest.wait_answer("@@GONE " + id, 60s) != "@@GONE " + id + " gone" && error.empty())
            error = device() + " stayed in the guest";
        return error;
    }

  private:
    std::string chardev() const { return "ftdi" + std::to_string(count_); }
    std::string usb_id() const { return "adapter" + std::to_string(count_); }
    int count_ = 0;
    bool plugged_ = false;
};

uart_16550 uart_16550;
ftdi_adapter ftdi_adapter;

void PrintTo(board_link* const& link, std::ostream* os) {
    *os << link->device();
}

// A simulator wired to a port of the guest for as long as the object lives.
class plugged_board {
  public:
    plugged_board(qemu_guest& guest, board_link& link) : guest_(guest), link_(link) {
        const std::string error = link_.plug(guest_, sim_.port());
        EXPECT_EQ(error, "") << "wiring " << link_.device() << " to " << sim_.port();
    }
    ~plugged_board() {
        const std::string error = link_.unplug(guest_);
        EXPECT_EQ(error, "") << "unwiring " << link_.device();
    }
    plugged_board(const plugged_board&) = delete;
    plugged_board& operator=(const plugged_board&) = delete;

  private:
    qemu_guest& guest_;
    board_link& link_;
    simulator sim_;
};

// Each case runs korvin in the guest, which it boots if it is the first.
class driver_case : public testing::Test {
  protected:
    void SetUp() override {
        const std::string image_dir = KORVIN_DRIVERS_GUEST_DIR;
        const std::string why = qemu_guest::unavailable(image_dir);
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!the_guest) {
            the_guest = std::make_unique<qemu_guest>(image_dir, "/tmp/korvin-drivers-" +
                                                                    std::to_string(getpid()));
            std::cout << "guest booted in " << the_guest->boot_time().count() << " ms\n";
        }
        ASSERT_TRUE(the_guest->booted()) << "the guest did not boot; its console:\n"
                                         << the_guest->console() << "\nQEMU's errors:\n"
                                         << the_guest->qemu_errors();
    }

    // Ends what a failed case left running first: it would keep the port,
    // and the next adapter would not be ttyUSB0.
    void TearDown() override {
        for (const std::string& id : running_) {
            guest().send("stop " + id);
            guest().wait_run(id, 30s);
        }
        board_.reset();
        if (HasFailure() && the_guest && the_guest->booted())
            std::cout << "the end of the guest's kernel log:\n" << last_lines(guest().dmesg(), 30);
    }

    qemu_guest& guest() { return *the_guest; }

    // A fresh simulator on `link`'s port until the end of the case.
    void plug_board(board_link& link) { board_ = std::make_unique<plugged_board>(guest(), link); }

    // Starts korvin ARGS on `link`'s port; returns the run's id.
    std::string start(const board_link& link, const std::vector<std::string>& args) {
        const std::string id = "run" + std::to_string(++run_count);
        std::string line = "run " + id + " " + link.device() + " -p " + link.port_argument();
        for (const std::string& a : args)
            line += " " + a;
        guest().send(line);
        running_.push_back(id);
        return id;
    }

    guest_run finish(const std::string& id, std::chrono::milliseconds timeout = 180s) {
        guest_run r = guest().wait_run(id, timeout);
        if (r.ended)
            running_.erase(std::find(running_.begin(), running_.end(), id));
        return r;
    }

    // Waits until `count` lines of run id's output hold `text`.
    testing::AssertionResult expect(const std::string& id, int count, const std::string& text) {
        guest().send("expect " + id + " " + std::to_string(count) + " " + text);
        const std::string answer = guest().wait_answer("@@EXPECT " + id, 90s);
        if (answer == "@@EXPECT " + id + " seen")
            return testing::AssertionSuccess();
        if (answer.empty())
            return testing::AssertionFailure() << "no answer from the guest:\n"
                                               << guest().console();
        const guest_run r = finish(id, 0s);
        return testing::AssertionFailure()
               << id << " did not show '" << text << "' " << count << " times"
               << (r.ended ? ", and ended: " + describe(r) : "");
    }

    // How many lines of run id's output hold `text` now.
    int count(const std::string& id, const std::string& text) {
        guest().send("count " + id + " " + text);
        const std::string answer = guest().wait_answer("@@COUNT " + id, 30s);
        return answer.empty() ? -1 : std::atoi(answer.substr(answer.rfind(' ') + 1).c_str());
    }

  private:
    std::vector<std::string> running_;
    std::unique_ptr<plugged_board> board_;
    static inline int run_count = 0;
};

long long ms_since(clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t).count();
}

// The cases every driver must pass.
class through_driver : public driver_case, public testing::WithParamInterface<board_link*> {
  protected:
    board_link& link() { return *GetParam(); }
};

TEST_P(through_driver, QuietRunPassesAllThree) {
    plug_board(link());
    const guest_run r = finish(start(link(), {}));
    ASSERT_TRUE(r.ended) << guest().console();
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, WARNING + WAKING + DOWNLOADING + PASSED3);
    EXPECT_EQ(r.err, "");
}

// The trace a verbose run relays is the board's own text, so any byte the
// driver loses, adds or alters shows up in it.
TEST_P(through_driver, VerboseSramRunShowsWhatItShowsOnAPlainPty) {
    simulator reference_sim;
    const run_result reference = run({bin("korvin"), "-p", reference_sim.port(), "-v", "sram"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_NE(reference.out.find("Testing SRAM...\nDc8000000\r\n"), std::string::npos)
        << reference.out;

    plug_board(link());
    const guest_run r = finish(start(link(), {"-v", "sram"}));
    ASSERT_TRUE(r.ended) << guest().console();
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, reference.out);
    EXPECT_EQ(r.err, "");
}

// The port lock must hold on a real tty, for root too (the guest runs
// everything as root, whom TIOCEXCL does not stop), and the refused open
// must leave the first run's line as it was.
TEST_P(through_driver, SecondKorvinOnTheSamePortIsRefused) {
    plug_board(link());
    const std::string first = start(link(), {"-c"});
    ASSERT_TRUE(expect(first, 1, "Testing SDRAM..."));

    const guest_run second = finish(start(link(), {"sram"}), 60s);
    ASSERT_TRUE(second.ended) << guest().console();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Could not open serial port " + link().port_name() + ".\n");

    // A whole pass after the refusal: it starts after the count taken now
    // and is over when the pass after it starts.
    const int passes = count(first, "Testing SDRAM...");
    ASSERT_GE(passes, 1);
    EXPECT_TRUE(expect(first, passes + 2, "Testing SDRAM..."));
    guest().send("stop " + first);
    const guest_run r = finish(first, 60s);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Drivers, through_driver,
                         testing::Values(static_cast<board_link*>(&uart_16550),
                                         static_cast<board_link*>(&ftdi_adapter)),
                         [](const testing::TestParamInfo<board_link*>& info) {
                             return info.param == &uart_16550 ? std::string("Uart16550")
                                                              : std::string("Ftdi");
                         });

// Pulled out mid-run, the adapter takes its tty with it: ftdi_sio hangs it
// up, and korvin must notice that at once rather than wait on a dead port.
TEST_F(driver_case, FtdiAdapterRemovedMidRunEndsTheRun) {
    plug_board(ftdi_adapter);
    const std::string id = start(ftdi_adapter, {"-c"});
    ASSERT_TRUE(expect(id, 1, "Testing SDRAM..."));
    const clock::time_point pulled = clock::now();
    ASSERT_EQ(ftdi_adapter.remove(guest()), "");
    const guest_run r = finish(id, 30s);
    const long long took = ms_since(pulled);
    ASSERT_TRUE(r.ended) << guest().console();
    std::cout << "korvin ended " << took << " ms after the adapter was removed\n";
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.err, "Could not read from serial port /dev/ttyUSB0.\n");
    EXPECT_LT(took, 5000) << "korvin took " << took << " ms to notice";
}

// The listing read from a real kernel's sysfs: the 8250 driver's two UARTs
// but not the two more lines it registers with no UART behind them, and the
// strings of the USB device above the adapter's tty and interface.
TEST_F(driver_case, ListPortsShowsTheFtdiAdapterAndThe16550s) {
    plug_board(ftdi_adapter);
    const guest_run r = finish(start(ftdi_adapter, {"--list-ports"}), 60s);
    ASSERT_TRUE(r.ended) << guest().console();
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.err, "");
    const std::string uarts = "1             COM1 (/dev/ttyS0), 16550A UART\n"
                              "2             COM2 (/dev/ttyS1), 16550A UART\n";
    // QEMU makes the serial number from the adapter's place on the bus.
    const std::string adapter = "/dev/ttyUSB0  QEMU USB SERIAL, serial ";
    ASSERT_EQ(r.out.substr(0, uarts.size() + adapter.size()), uarts + adapter) << r.out;
    EXPECT_EQ(r.out.find('\n', uarts.size()), r.out.size() - 1) << r.out;
}

// A 16550 cannot tell a pulled cable from a silent board: nothing arrives
// any more. korvin must give up after --timeout seconds of silence.
TEST_F(driver_case, Uart16550CablePulledMidRunEndsTheRunAfterTheTimeout) {
    plug_board(uart_16550);
    // Verbose, so that the board talks all the time until the cable goes.
    const std::string id = start(uart_16550, {"--timeout", "5", "-v", "-c", "sram"});
    ASSERT_TRUE(expect(id, 1, "Dc8000000"));
    const clock::time_point pulled = clock::now();
    ASSERT_EQ(uart_16550.unplug(guest()), "");
    const guest_run r = finish(id, 60s);
    const long long took = ms_since(pulled);
    ASSERT_TRUE(r.ended) << guest().console();
    std::cout << "korvin ended " << took << " ms after the cable was pulled\n";
    EXPECT_EQ(r.status, 1) << describe(r);
    const std::string message = "The board sent nothing for 5 seconds.\n";
    ASSERT_GE(r.err.size(), message.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
    const std::string before = r.err.substr(0, r.err.size() - message.size());
    EXPECT_TRUE(before.empty() || before.back() == '\n' || before.back() == '\r') << r.err;
    EXPECT_EQ(r.err.find("Could not read"), std::string::npos) << r.err;
    // Not well before the bound (the board was talking until the pull; the
    // margin is for a simulator starved of the CPU for a moment), and not
    // much after it.
    EXPECT_GE(took, 3000);
    EXPECT_LT(took, 9000);
}

} // namespace
} // namespace korvin::test
