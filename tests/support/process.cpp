#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace korvin::test {

std::string bin(const std::string& name) {
    return std::string(KORVIN_BIN_DIR) + "/" + name;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string temp_path(const std::string& name) {
    return "/tmp/korvin-test-" + std::to_string(getpid()) + "-" + name;
}

temp_file::temp_file(const std::string& name) : path(temp_path(name)) {}

temp_file::~temp_file() {
    std::remove(path.c_str());
}

namespace {

// The sanitizers split their options at spaces, commas and colons.
bool option_separator(char c) {
    return c == ' ' || c == ',' || c == ':' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string lsan_options_for_unicorn(const std::string& existing) {
    std::string suppressions = std::string(KORVIN_SOURCE_DIR) + "/tests/lsan.supp";
    std::string kept, theirs;
    for (std::size_t at = 0; at < existing.size();) {
        std::size_t end = at;
        while (end < existing.size() && !option_separator(existing[end]))
            ++end;
        const std::string option = existing.substr(at, end - at);
        if (option.compare(0, 13, "suppressions=") == 0)
            theirs = option.substr(13); // the last one counts, as for the sanitizers
        else if (!option.empty())
            kept += option + ":";
        at = end + 1;
    }
    if (!theirs.empty()) {
        // The sanitizers read one suppressions file.
        static const temp_file MERGED("lsan.supp");
        std::ofstream(MERGED.path) << read_file(theirs) << "\n" << read_file(suppressions);
        suppressions = MERGED.path;
    }
    return kept + "suppressions=" + suppressions;
}

child_process::child_process(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, bool input) {
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        (input && pipe2(in, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        envs.push_back(*e);
    for (const auto& kv : env) {
        const std::string name = kv.substr(0, kv.find('=') + 1);
        for (auto it = envs.begin(); it != envs.end();)
            it = it->compare(0, name.size(), name) == 0 ? envs.erase(it) : it + 1;
        if (kv.size() > name.size())
            envs.push_back(kv);
    }
    // libunicorn's own leaks are no fault of korvin-sim's.
    const std::string program = argv.empty() ? "" : argv[0].substr(argv[0].rfind('/') + 1);
    if (program == "korvin-sim") {
        std::string existing;
        for (auto it = envs.begin(); it != envs.end(); ++it) {
            if (it->compare(0, 13, "LSAN_OPTIONS=") == 0) {
                existing = it->substr(13);
                envs.erase(it);
                break;
            }
        }
        envs.push_back("LSAN_OPTIONS=" + lsan_options_for_unicorn(existing));
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envs)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(input ? in[0] : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(args[0], args.data(), envp.data());
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (input)
        close(in[0]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    reader_ = std::thread([this] { pump(); });
}

child_process::~child_process() {
    if (!waited_) {
        kill(pid_, SIGKILL);
        wait(10s);
    }
    if (in_fd_ >= 0)
        close(in_fd_);
}

void child_process::write_input(const std::string& text) {
    if (in_fd_ >= 0 && write(in_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("write to the child's input failed");
}

void child_process::pump() {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_fds = 2;
    char buf[4096];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (auto& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(f.fd, buf, sizeof buf);
            if (n <= 0) {
                close(f.fd);
                f.fd = -1;
                --open_fds;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (f.fd == out_fd_ ? out_ : err_).append(buf, static_cast<size_t>(n));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    eof_ = true;
}

void child_process::signal(int sig) {
    if (!waited_)
        kill(pid_, sig);
}

bool child_process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (out_.find(text) != std::string::npos)
                return true;
            if (eof_)
                return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

run_result child_process::wait(std::chrono::milliseconds timeout) {
    if (waited_)
        return result_;
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (std::chrono::steady_clock::now() >= end && !result_.timed_out) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
        }
        std::this_thread::sleep_for(2ms);
    }
    // A grandchild holding the pipes must not keep the reader alive forever.
    reader_.join();
    waited_ = true;
    if (WIFEXITED(status))
        result_.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result_.term_signal = WTERMSIG(status);
    std::lock_guard<std::mutex> lock(mutex_);
    result_.out = out_;
    result_.err = err_;
    return result_;
}

std::string child_process::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string child_process::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::chrono::milliseconds timeout) {
    child_process p(argv, env);
    return p.wait(timeout);
}

std::vector<std::string> with_faults(const std::vector<std::string>& faults) {
    std::vector<std::string> args;
    for (const auto& f : faults) {
        args.push_back("--fault");
        args.push_back(f);
    }
    return args;
}

simulator::simulator(const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("korvin-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<child_process>(argv);
    if (!process_->wait_for_output("\n"))
        throw std::runtime_error("korvin-sim did not start: " + process_->err());
    const std::string out = process_->out();
    port_ = out.substr(0, out.find('\n'));
}

run_result simulator::stop() {
    process_->signal(SIGTERM);
    return process_->wait(20s);
}

} // namespace korvin::test
