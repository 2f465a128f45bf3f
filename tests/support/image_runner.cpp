#include "image_runner.h"

#include "sim/board_host.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace korvin::sim {
namespace {

// A host in this process takes everything when the board stops; this much bounds a program
// that talks without end.
constexpr size_t BACKLOG_LIMIT = 1 << 24;

// Raises `stop` and halts the core once `budget` has passed, unless the run ended first.
class watchdog {
  public:
    watchdog(std::function<void()> halt, std::atomic<int>& stop, std::chrono::milliseconds budget)
        : halt_(std::move(halt)), stop_(stop), budget_(budget), thread_([this] { watch(); }) {}
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        woken_.notify_all();
        thread_.join();
    }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto done = [this] { return done_; };
        if (woken_.wait_for(lock, budget_, done))
            return;
        stop_ = 1;
        // A halt that lands while the core is between two runs is lost: repeat it until the
        // run has ended. Only a program over its budget gets here.
        do
            halt_();
        while (!woken_.wait_for(lock, std::chrono::milliseconds(10), done));
    }

    std::function<void()> halt_;
    std::atomic<int>& stop_;
    const std::chrono::milliseconds budget_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_; // last: it starts once the rest is ready
};

// The host's side of the monitor's byte protocol, in turns: while the core is stopped it
// takes what the board sent and answers a prompt with the next command byte.
class in_process_host : public board_host {
  public:
    in_process_host(const run_request& request, image_run& result)
        : request_(request), result_(result) {}

    void begin(serial_line& line, std::function<bool()>, std::function<void()> halt) override {
        line.attach(nullptr, BACKLOG_LIMIT);
        dog_.emplace(std::move(halt), stop_, request_.budget);
    }
    void end(serial_line&) override { dog_.reset(); }
    bool wait_for_opener() override { return true; }
    bool closed() override { return false; }
    void reset(serial_line& line) override { line.clear(true); }
    // The host speaks only while the core is stopped, so a wait that only the line could
    // end is the host's turn. A deadline already past needs no wait.
    waited wait(serial_line& line, time_point deadline) override {
        const time_point now = sim_clock::now();
        return deadline > now && !line.rx_available(now) ? waited::host_turn : waited::go_on;
    }
    bool turn(serial_line& line) override {
        const bool sent = exchange(line);
        if (result_.completed)
            return false;
        if (stop_) {
            result_.problem = budget_spent();
            return false;
        }
        if (!sent) {
            result_.problem = at_ == expecting::prompt
                                  ? "the program waits on the line without a prompt"
                                  : std::string("the program waits on the line in its answer "
                                                "to '") +
                                        answer_.command + "'";
            return false;
        }
        return true;
    }
    void fault(serial_line& line, const std::string& text) override {
        exchange(line);
        if (!result_.completed)
            result_.problem = text;
    }

    // The watchdog's flag: the board's run ends when it is raised.
    const std::atomic<int>& stop() const { return stop_; }
    std::string budget_spent() const {
        return "no prompt within the budget of " + std::to_string(request_.budget.count()) + " ms";
    }

  private:
    // Takes what the board has sent and answers a prompt; whether a byte was sent. The
    // monitor prompts with '?', takes one command byte, may send trace text, then answers ':'
    // and the result in hexadecimal; the next prompt ends the result.
    bool exchange(serial_line& line) {
        const time_point now = sim_clock::now();
        std::string sent_by_board;
        sent_by_board.swap(line.output(now));
        bool sent = false;
        for (const char c : sent_by_board) {
            if (at_ == expecting::trace) {
                if (c == ':')
                    at_ = expecting::code;
                else
                    answer_.trace += c;
                continue;
            }
            if (at_ == expecting::code) {
                if (c != '?') {
                    answer_.code += c;
                    continue;
                }
                result_.answers.push_back(std::move(answer_));
                answer_ = {};
                at_ = expecting::prompt;
            }
            if (c != '?')
                continue; // nothing the protocol asks for: the host skips to the prompt
            std::string chunk;
            if (next_ < request_.commands.size())
                chunk = request_.commands.substr(next_++, 1);
            else if (!request_.more || !request_.more(result_.answers, chunk) || chunk.empty()) {
                result_.completed = true;
                break;
            }
            answer_.command = chunk[0];
            for (const char byte : chunk)
                line.host_send(static_cast<uint8_t>(byte), now);
            sent = true;
            at_ = expecting::trace;
        }
        return sent;
    }

    const run_request& request_;
    image_run& result_;
    std::atomic<int> stop_{0};
    std::optional<watchdog> dog_;
    enum class expecting { prompt, trace, code } at_ = expecting::prompt;
    size_t next_ = 0;
    command_answer answer_;
};

} // namespace

image_run run_image(const run_request& request, const board_options& options) {
    const time_point begin = sim_clock::now();
    image_run result;
    const auto finish = [&](image_run& r) -> image_run& {
        r.seconds = std::chrono::duration<double>(sim_clock::now() - begin).count();
        return r;
    };
    // The host here answers only when the core stops, and no time passes meanwhile: a paced
    // line or a FLASH that takes time would stop the core on every wait.
    if (options.line_rate || options.flash_timing.enabled) {
        result.problem = "a paced line and FLASH timing need the pseudo-terminal";
        return finish(result);
    }
    in_process_host host(request, result);
    board simulated(options, host.stop());
    std::string error;
    if (!simulated.init(error) ||
        (!options.flash_file.empty() && !simulated.flash().load(options.flash_file, error)) ||
        !simulated.start_image(request.image, request.load_address, error)) {
        result.problem = error;
        return finish(result);
    }
    simulated.run(host);
    if (request.keep_flash && !simulated.flash().save(options.flash_file, error))
        result.problem = error;
    // The run ends on a fault, on the host's word, or with the budget spent.
    if (!result.completed && result.problem.empty())
        result.problem = host.budget_spent();
    result.instructions = simulated.instructions();
    return finish(result);
}

} // namespace korvin::sim
