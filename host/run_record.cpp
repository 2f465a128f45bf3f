#include "run_record.h"

#include "events.h"
#include "report.h"
#include "system.h"

#include <cstdio>

namespace korvin {

bool run_record::open(const std::string& url) {
    if (url.empty())
        return true;
    std::string reason;
    if (!recorder_.open(url, reason)) {
        print_error("Could not use the record store %s: %s.\n", url.c_str(), reason.c_str());
        return false;
    }
    active_ = true;
    return true;
}

void run_record::begin(const std::string& port, std::size_t image_length,
                       const std::optional<std::string>& board_id,
                       const std::optional<long long>& board_number, bool on_signal) {
    if (!active_)
        return;
    record_run run;
    run.station = system_host_name();
    run.port = port;
    run.board_id = board_id;
    run.board_number = board_number;
    run.korvin_version = KORVIN_VERSION;
    run.image_length = static_cast<long long>(image_length);
    log_.clear();
    report_capture_log(&log_);
    recorder_.begin(run);
    if (on_signal)
        recorder_.mark_interrupted_on_signal();
    begun_ = true;
}

void run_record::test_ended(unsigned long pass, const char* name, const char* status,
                            std::uint32_t code, double seconds,
                            const std::vector<std::string>& findings) {
    if (!begun_)
        return;
    recorder_.test_ended({"", static_cast<int>(pass), name, status, code, seconds, findings}, log_);
}

void run_record::end(const std::string& outcome, const std::string& error) {
    if (!begun_)
        return;
    report_capture_log(nullptr);
    recorder_.end(outcome, error.empty() ? std::nullopt : std::optional<std::string>(error), log_);
    begun_ = false;
}

} // namespace korvin
