#include "image_runner.h"

#include "line_watch.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvin::sim {
namespace {

// Raises `stop` and halts the core once `budget` has passed, unless the run ended first.
class watchdog {
  public:
    watchdog(board& watched, std::atomic<int>& stop, std::chrono::milliseconds budget)
        : board_(watched), stop_(stop), budget_(budget), thread_([this] { watch(); }) {}
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

    bool expired() const { return expired_; }

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto done = [this] { return done_; };
        if (woken_.wait_for(lock, budget_, done))
            return;
        expired_ = true;
        stop_ = 1;
        // A halt that lands while the core is between two runs is lost: repeat it until the
        // run has ended. Only a program over its budget gets here.
        do
            board_.halt();
        while (!woken_.wait_for(lock, std::chrono::milliseconds(10), done));
    }

    board& board_;
    std::atomic<int>& stop_;
    const std::chrono::milliseconds budget_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_; // last: it starts once the rest is ready
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
    std::atomic<int> stop{0};
    line_watch watch(-1, "");
    board simulated(options, -1, watch, stop);
    std::string error;
    if (!simulated.init(error) ||
        !simulated.start_image(request.image, request.load_address, error)) {
        result.problem = error;
        return finish(result);
    }
    watchdog dog(simulated, stop, request.budget);

    // The monitor prompts with '?', takes one command byte, may send trace text, then
    // answers ':' and the result in hexadecimal; the next prompt ends the result.
    enum class expecting { prompt, trace, code } at = expecting::prompt;
    size_t next = 0;
    command_answer answer;
    for (;;) {
        const board::pause paused = simulated.run_to_host();
        const time_point now = sim_clock::now();
        const std::string sent_by_board = simulated.line().host_take(now);
        bool sent = false, done = false;
        for (const char c : sent_by_board) {
            if (at == expecting::trace) {
                if (c == ':')
                    at = expecting::code;
                else
                    answer.trace += c;
                continue;
            }
            if (at == expecting::code) {
                if (c != '?') {
                    answer.code += c;
                    continue;
                }
                result.answers.push_back(std::move(answer));
                answer = {};
                at = expecting::prompt;
            }
            if (c != '?')
                continue; // nothing the protocol asks for: the host skips to the prompt
            if (next == request.commands.size()) {
                done = true;
                break;
            }
            answer.command = request.commands[next++];
            simulated.line().host_send(static_cast<uint8_t>(answer.command), now);
            sent = true;
            at = expecting::trace;
        }
        if (done) {
            result.completed = true;
            break;
        }
        if (paused == board::pause::fault) {
            result.problem = simulated.fault();
            break;
        }
        if (paused == board::pause::stopped || dog.expired()) {
            result.problem =
                "no prompt within the budget of " + std::to_string(request.budget.count()) + " ms";
            break;
        }
        if (!sent) {
            result.problem = at == expecting::prompt
                                 ? "the program waits on the line without a prompt"
                                 : std::string("the program waits on the line in its answer to '") +
                                       answer.command + "'";
            break;
        }
    }
    result.instructions = simulated.instructions();
    return finish(result);
}

} // namespace korvin::sim
