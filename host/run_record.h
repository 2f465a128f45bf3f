#pragma once
// korvin's own run in the results store of --record: opened before the board
// is touched, begun when the run starts, a row per test as it ends (through
// the test run's observer), closed with the outcome.
#include "recorder.h"
#include "test_run.h"

#include <optional>
#include <string>

namespace korvin {

class run_record : public test_run_observer {
  public:
    // Opens the store `url` and sends its spool; true at once without one.
    // False with the message printed when it is refused.
    bool open(const std::string& url);
    bool active() const { return active_; }

    // The run starts on `port`: from here on the log's text is kept for the
    // record. With `on_signal`, a CTRL-C or SIGTERM leaves it "interrupted"
    // (a run whose stop requests end it in order records that itself).
    void begin(const std::string& port, std::size_t image_length,
               const std::optional<std::string>& board_id,
               const std::optional<long long>& board_number, bool on_signal);

    void test_ended(unsigned long pass, const char* name, const char* status, std::uint32_t code,
                    double seconds, const std::vector<std::string>& findings) override;

    // The run ended: "passed", "failed", "error" (with korvin's message) or "interrupted".
    void end(const std::string& outcome, const std::string& error = "");

  private:
    bool active_ = false, begun_ = false;
    run_recorder recorder_;
    std::string log_;
};

} // namespace korvin
