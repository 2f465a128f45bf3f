#include "line_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace korvin::sim {

line_watch::line_watch(int master, const std::string& slave) : master_(master) {
    if (slave.empty())
        return;
    watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd_ >= 0 && inotify_add_watch(watch_fd_, slave.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(watch_fd_);
        watch_fd_ = -1;
    }
}

line_watch::~line_watch() {
    close();
}

void line_watch::close() {
    finish();
    for (int* fd : {&watch_fd_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

bool line_watch::open(std::string& error) {
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    return true;
}

bool line_watch::closed_since_seen() {
    if (!watching())
        return hung_up();
    // The events queued so far first: a host's close is queued before the bytes the next
    // opener sends, which the caller may have read already.
    count_openers();
    const unsigned closes = closes_;
    if (closes == seen_closes_)
        return false;
    seen_closes_ = closes;
    return true;
}

bool line_watch::close_pending() const {
    return watching() ? closes_ != seen_closes_ : hung_up();
}

bool line_watch::hung_up() const {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

bool line_watch::wait_for_opener() {
    if (watching()) {
        if (openers_ > 0)
            return true;
        pollfd w{wake_[0], POLLIN, 0};
        if (poll(&w, 1, 100) == 1) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        return false;
    }
    if (!hung_up())
        return true;
    timespec ts{0, 10 * 1000 * 1000};
    ppoll(nullptr, 0, &ts, nullptr);
    return false;
}

void line_watch::count_openers() {
    // One reader at a time, so that the events are counted in the order they came.
    const std::lock_guard<std::mutex> hold(reading_);
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = read(watch_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + i);
            if (e->mask & IN_OPEN)
                ++openers_;
            if ((e->mask & IN_CLOSE) && openers_ > 0 && --openers_ == 0)
                ++closes_;
            changed = true;
            i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (changed) {
        const char c = 0;
        (void)!write(wake_[1], &c, 1);
    }
}

void line_watch::start(std::function<bool()> running, const std::atomic<int>& stop,
                       std::function<void()> halt) {
    quit_ = false;
    // Signals are for the main thread: they interrupt its waits.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    thread_ = std::thread([this, running = std::move(running), &stop, halt = std::move(halt)] {
        watch(running, stop, halt);
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void line_watch::finish() {
    quit_ = true;
    if (thread_.joinable())
        thread_.join();
}

void line_watch::watch(const std::function<bool()>& running, const std::atomic<int>& stop,
                       const std::function<void()>& halt) {
    // A program that never touches the UART still has to stop for a signal or a closed line.
    // A pending close is a level, not an edge: a stop that was lost (asked for just before
    // the CPU started) is asked for again, and one the main thread has served asks nothing.
    while (!quit_) {
        if (watching()) {
            pollfd w{watch_fd_, POLLIN, 0};
            if (poll(&w, 1, 10) == 1)
                count_openers();
        } else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (running() && (stop || close_pending()))
            halt();
    }
}

} // namespace korvin::sim
