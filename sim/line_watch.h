#pragma once
// Who has the line open. The host's end of the line is the pseudo-terminal's slave; a hang-up
// on the master is a level, so a host that closes and reopens at once leaves no trace of it.
// Open and close events on the slave are counted instead (inotify), and a watch thread
// counts them as they come, wakes the line's waits through a pipe, and stops the CPU on a
// signal or while a close is waiting to be seen. Only the main thread sees closes (and
// resets the board for them), so a close it has already served never stops the next
// opener's run. Without inotify a hang-up on the master is the close.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korvin::sim {

class line_watch {
  public:
    // `master` is the pseudo-terminal master; the opens and closes of `slave` are counted
    // (an empty path, or one inotify cannot watch: none are).
    line_watch(int master, const std::string& slave);
    ~line_watch();
    line_watch(const line_watch&) = delete;
    line_watch& operator=(const line_watch&) = delete;

    // The wake pipe; false with `error` set when it cannot be made.
    bool open(std::string& error);
    // Opens and closes are counted.
    bool watching() const { return watch_fd_ >= 0; }
    // Readable when the openers change (while watching), for the line's waits.
    int wake_fd() const { return wake_[0]; }
    int openers() const { return openers_; }

    // For the main thread alone: the last opener has gone since it last looked; the close
    // counts as seen from now on.
    bool closed_since_seen();
    // At a board reset: closes until now are seen.
    void forget_closes() { seen_closes_ = closes_.load(); }
    // A close the main thread has not seen yet (any thread; sees nothing).
    bool close_pending() const;
    // Nobody had the line open: waits a little for an opener (up to 100 ms; 10 ms without
    // inotify). True when the line is open now.
    bool wait_for_opener();

    // Starts the watch thread with every signal blocked (they are for the main thread). While
    // `running()` says the CPU runs, it calls `halt()` while `stop` is raised or a close is
    // pending; what to do about it is the main thread's to decide.
    void start(std::function<bool()> running, const std::atomic<int>& stop,
               std::function<void()> halt);
    // Ends the watch thread.
    void finish();
    // Ends the thread and stops watching.
    void close();

    // Takes in the open and close events that have come (the watch thread's work, and the
    // main thread's before it looks for a close).
    void count_openers();

  private:
    void watch(const std::function<bool()>& running, const std::atomic<int>& stop,
               const std::function<void()>& halt);
    bool hung_up() const;

    int master_;
    int watch_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> openers_{0};
    std::atomic<unsigned> closes_{0};      // times the last opener went away
    std::atomic<unsigned> seen_closes_{0}; // of them, those the main thread has seen
    std::mutex reading_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

} // namespace korvin::sim
