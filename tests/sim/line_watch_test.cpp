// The line watch on the bench, on a plain file for the pseudo-terminal's slave: the opens
// and closes it counts, and the watch thread stopping a running CPU.
#include "process.h"
#include "sim/line_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace korvin::test {
namespace {

struct watched_file {
    temp_file file{"line-watch"};
    watched_file() { std::fclose(std::fopen(file.path.c_str(), "w")); }
    int open_it() const { return ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC); }
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

TEST(LineWatch, CountsOpenersAndTheLastClose) {
    watched_file slave;
    sim::line_watch w(-1, slave.file.path);
    std::string error;
    ASSERT_TRUE(w.open(error)) << error;
    ASSERT_TRUE(w.watching());
    // Each event is taken in before the next: inotify merges identical events left unread.
    const int first = slave.open_it();
    w.count_openers();
    const int second = slave.open_it();
    w.count_openers();
    EXPECT_EQ(w.openers(), 2);
    EXPECT_TRUE(readable(w.wake_fd())) << "the line's waits wake up";
    close(first);
    w.count_openers();
    EXPECT_EQ(w.openers(), 1);
    EXPECT_FALSE(w.closed_since_seen()) << "one opener is left";
    close(second);
    w.count_openers();
    EXPECT_EQ(w.openers(), 0);
    EXPECT_TRUE(w.closed_since_seen());
    EXPECT_FALSE(w.closed_since_seen()) << "seen once";
    // A close and a reopen between two looks is still a close.
    close(slave.open_it());
    const int again = slave.open_it();
    w.count_openers();
    EXPECT_TRUE(w.wait_for_opener());
    EXPECT_TRUE(w.closed_since_seen());
    close(again);
    w.count_openers();
    w.forget_closes();
    EXPECT_FALSE(w.closed_since_seen()) << "a board reset has seen them";
}

TEST(LineWatch, TheWatchThreadStopsARunningCpuForWhatIsPending) {
    watched_file slave;
    sim::line_watch w(-1, slave.file.path);
    std::string error;
    ASSERT_TRUE(w.open(error)) << error;
    std::atomic<int> stop{0}, halts{0};
    std::atomic<bool> running{false};
    w.start([&] { return running.load(); }, stop, [&] { ++halts; });
    auto soon = [](auto done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return done();
    };
    const int host = slave.open_it();
    stop = 1; // a signal while the CPU does not run: nothing to stop
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(halts, 0);
    running = true;
    EXPECT_TRUE(soon([&] { return halts > 0; })) << "a signal stops the CPU";
    running = false;
    stop = 0;

    // The main thread serves a close while the CPU is not running (the boot ROM's turn);
    // the next opener's program then runs undisturbed.
    close(host);
    ASSERT_TRUE(soon([&] { return w.close_pending(); }));
    EXPECT_TRUE(w.closed_since_seen());
    halts = 0;
    running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(halts, 0) << "a close already seen stops nothing";

    // A close not yet seen stops the CPU, and again until the main thread has seen it: a stop
    // asked for just before an emulation starts is not lost.
    close(slave.open_it());
    EXPECT_TRUE(soon([&] { return halts >= 2; })) << "the stop is asked for again";
    EXPECT_TRUE(w.closed_since_seen());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int seen = halts;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(halts, seen) << "no stop once the close is seen";
    w.finish();
    EXPECT_EQ(w.openers(), 0);
}

} // namespace
} // namespace korvin::test
