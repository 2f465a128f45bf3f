#pragma once
// Recording one run as it goes: the run is written when it starts, each test
// as it ends, and the outcome at the end, so that a crash leaves a truthful
// record. When the store fails during the run the test goes on: korvin says
// so once on standard error and keeps the rest of the run in the spool.
#include "record.h"

#include <chrono>
#include <memory>
#include <string>

namespace korvin {

constexpr int LOG_UPDATE_SECONDS = 5;

class run_recorder {
  public:
    // Opens the store and sends what an earlier korvin spooled for it.
    // False with the reason when the store is refused: nothing is recorded
    // then, and the board must not be touched.
    bool open(const std::string& url, std::string& reason);

    // A new run: its key, its start time (now) and its outcome "running" are
    // set here; the rest comes from `run`.
    void begin(const record_run& run);
    // A test of the current run ended. The log so far comes along, into the
    // store at most every LOG_UPDATE_SECONDS: a continuous run's log grows
    // without end, and writing all of it after every test would not.
    void test_ended(record_test test, const std::string& log);
    // The run ended with `outcome` (passed, failed, error, interrupted).
    void end(const std::string& outcome, const std::optional<std::string>& error,
             const std::string& log);

    // Until the run ends, CTRL-C or SIGTERM leaves the run "interrupted": the
    // handler can only append to a file, so it appends that end to the spool,
    // which the next korvin with the store sends; then the signal ends the
    // process as it would have. Not on Windows, which has no store.
    void mark_interrupted_on_signal();

    const record_run& run() const { return run_; }
    // The open store (after a successful open).
    record_store& store() { return *store_; }
    // Whether part of this run went to the spool.
    bool spooled() const { return spooling_; }

  private:
    void write(int op);
    void prepare_interrupted();
    std::string url_;
    std::unique_ptr<record_store> store_;
    record_run run_;
    record_test test_;
    bool spooling_ = false;
    bool on_signal_ = false;
    std::chrono::steady_clock::time_point logged_; // when the log was last written
};

} // namespace korvin
