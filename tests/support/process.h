#pragma once
// Test support: run the project's programs as child processes and capture
// what they print, so tests see exactly what a user would.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {

using namespace std::chrono_literals;

// A path in the build's binary folder, e.g. bin("korvin").
std::string bin(const std::string& name);
std::string read_file(const std::string& path);

// A path in /tmp named after the test process and `name`.
std::string temp_path(const std::string& name);

// A file at temp_path(name), removed with the object.
struct temp_file {
    std::string path;
    explicit temp_file(const std::string& name);
    ~temp_file();
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
};

struct run_result {
    int status = -1;     // exit status, or -1 when ended by a signal
    int term_signal = 0; // the signal that ended it, or 0
    bool timed_out = false;
    std::string out, err;
};

class child_process {
  public:
    // Starts argv[0] (a path) with stdin from /dev/null and stdout and stderr
    // captured; env entries "NAME=VALUE" are added to the environment, and
    // "NAME=" alone removes NAME. korvin-sim gets lsan_options_for_unicorn()
    // over the LSAN_OPTIONS it would have had.
    // With `input`, its standard input is a pipe that write_input feeds.
    explicit child_process(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env = {}, bool input = false);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    void write_input(const std::string& text);
    // Waits until stdout holds `text`; false on time-out or when the process ended first.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 20s);
    // Waits for the end; kills the process with SIGKILL after the time-out.
    run_result wait(std::chrono::milliseconds timeout = 120s);
    std::string out() const;
    std::string err() const;

  private:
    void pump();
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1, in_fd_ = -1;
    mutable std::mutex mutex_;
    std::string out_, err_;
    bool eof_ = false;
    std::thread reader_;
    bool waited_ = false;
    run_result result_;
};

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               std::chrono::milliseconds timeout = 120s);

// LeakSanitizer's options for a program that links libunicorn, such as
// korvin-sim: `existing` (the environment's) with tests/lsan.supp added,
// which drops only the leaks unicorn makes itself. A suppressions file the
// environment names is kept, merged with ours into a file of this process.
std::string lsan_options_for_unicorn(const std::string& existing);

// korvin-sim's arguments for the faults given ("sram:d3=0", ...).
std::vector<std::string> with_faults(const std::vector<std::string>& faults);

// korvin-sim in the background, for as long as the object lives.
class simulator {
  public:
    explicit simulator(const std::vector<std::string>& args = {});
    // The pseudo-terminal korvin is to open (the simulator's first line).
    const std::string& port() const { return port_; }
    child_process& process() { return *process_; }
    // SIGTERM, then the simulator's own result.
    run_result stop();

  private:
    std::unique_ptr<child_process> process_;
    std::string port_;
};

} // namespace korvin::test
