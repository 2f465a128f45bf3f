// A FLASH fault's test on the bench image in process, and, when the chip took no command,
// korvin's FLASH probe over the same simulated line: the probe runs in a thread of its own
// and the board's host hands it each answer.
#include "fault_universe.h"

#include "diagnose.h"
#include "flash_probe.h"
#include "image_runner.h"
#include "monitor.h"
#include "sim/faults.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace korvin::test {
namespace {

std::vector<std::uint8_t>& bench_bytes() {
    static std::vector<std::uint8_t> bytes;
    return bytes;
}

std::string& earlier_flash() {
    static std::string path;
    return path;
}

// The probe's bench commands and the board's answers, one at a time across two threads.
class probe_channel {
  public:
    // The probe's side: sends `chunk`, waits for the answer.
    bench_answer ask(const std::string& chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        request_ = chunk;
        changed_.notify_all();
        changed_.wait(lock, [&] { return answer_.has_value() || abandoned_; });
        if (abandoned_)
            return {};
        bench_answer a = to_bench(*answer_);
        answer_.reset();
        return a;
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }
    // The board's side: the answer to the last request, then the next request; false when
    // the probe is done.
    bool next(const sim::command_answer* answered, std::string& chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (answered) {
            answer_ = *answered;
            changed_.notify_all();
        }
        changed_.wait(lock, [&] { return request_.has_value() || done_; });
        if (!request_)
            return false;
        chunk = *request_;
        request_.reset();
        return true;
    }
    void abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }

  private:
    static bench_answer to_bench(const sim::command_answer& c) {
        bench_answer a;
        const char digit = c.code.empty() ? 'x' : c.code[0];
        a.result = digit >= '0' && digit <= '7' ? static_cast<bench_result>(digit - '0')
                                                : bench_result::lost;
        std::size_t from = 0;
        for (std::size_t at; (at = c.trace.find("\r\n", from)) != std::string::npos; from = at + 2)
            a.lines.push_back(c.trace.substr(from, at - from));
        return a;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> request_;
    std::optional<sim::command_answer> answer_;
    bool done_ = false, abandoned_ = false;
};

} // namespace

void use_bench_image(std::vector<std::uint8_t> image) {
    bench_bytes() = std::move(image);
}

bool probes_flash() {
    return !bench_bytes().empty();
}

void use_earlier_flash(std::string path) {
    earlier_flash() = std::move(path);
}

bool leave_earlier_flash(const std::string& path, std::string& problem) {
    sim::board_options options;
    options.flash_file = path;
    sim::run_request request;
    request.image = bench_bytes();
    request.commands = "2";
    request.keep_flash = true;
    const sim::image_run run = sim::run_image(request, options);
    problem = run.problem;
    if (problem.empty() && (!run.completed || run.answers.back().code.compare(0, 1, "0") != 0))
        problem = "the FLASH test failed on a good board";
    return problem.empty();
}

diagnosed_run probe_flash_in_process(const std::vector<std::string>& faults) {
    diagnosed_run d;
    sim::board_options options;
    options.flash_file = earlier_flash();
    for (const std::string& f : faults)
        if (!sim::parse_fault(f, options.faults, d.problem))
            return d;
    probe_channel channel;
    std::optional<std::thread> prober;
    bool probing = false;
    sim::run_request request;
    request.image = bench_bytes();
    request.commands = {'v', '2'};
    request.more = [&](const std::vector<sim::command_answer>& answers, std::string& chunk) {
        if (!probing) {
            const sim::command_answer& test = answers.back();
            if (test.code.empty() || test.code[0] == '0')
                return false;
            d.findings =
                diagnose(memory::flash, result_code_of(static_cast<unsigned char>(test.code[0])),
                         test.trace);
            if (!flash_looked_dead(d.findings))
                return false;
            probing = true;
            prober.emplace([&] {
                const flash_probe_result r =
                    flash_probe([&](char command, const std::string& args) {
                        return channel.ask(std::string(1, command) + args);
                    });
                d.findings.insert(d.findings.end(), r.findings.begin(), r.findings.end());
                channel.finish();
            });
            return channel.next(nullptr, chunk);
        }
        return channel.next(&answers.back(), chunk);
    };
    const sim::image_run run = sim::run_image(request, options);
    channel.abandon();
    if (prober)
        prober->join();
    d.seconds = run.seconds;
    if (!run.completed) {
        d.problem = run.problem;
        return d;
    }
    d.ran = true;
    const sim::command_answer& test = run.answers[1];
    d.passed = !test.code.empty() && test.code[0] == '0';
    if (!d.passed && !probing)
        d.findings = diagnose(
            memory::flash,
            result_code_of(test.code.empty() ? 0u : static_cast<unsigned char>(test.code[0])),
            test.trace);
    return d;
}

} // namespace korvin::test
