// The station's processes, pipes and signals on POSIX systems.
#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace korvin {

struct child_process {
    pid_t pid = -1;
    int input = -1;  // its standard input, our end
    int output = -1; // its standard output, our end
    std::string pending;
    bool output_ended = false;
    bool reaped = false;
    child_exit how;
};

namespace {

volatile sig_atomic_t stop_flag = 0;
int stop_pipe[2] = {-1, -1}; // the handler's byte wakes a waiting poll

pid_t parent = 0; // recorded by install_stop_handlers

termios saved_input{};
bool input_saved = false;

void on_stop(int) {
    const int saved = errno;
    stop_flag = 1;
    if (stop_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(stop_pipe[1], &byte, 1);
    }
    errno = saved;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// pipe2 with O_CLOEXEC, which not every system has.
bool make_pipe(int fds[2]) {
    if (pipe(fds) != 0)
        return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

// Splits what came at the first line ends; with `all`, the rest too.
void take_lines(std::string& pending, std::vector<std::string>& lines, bool all) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    pending.erase(0, start);
    if (all && !pending.empty()) {
        lines.push_back(pending);
        pending.clear();
    }
}

// Reads what `fd` has without waiting: false at its end.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

} // namespace

child_process* child_start(const std::vector<std::string>& argv, std::string& error) {
    int in[2], out[2];
    if (!make_pipe(in)) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (!make_pipe(out)) {
        error = std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own: the terminal's CTRL-C goes to the station, which
    // stops its children itself. What the station ignores, they must not.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigemptyset(&none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &files, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    if (failed != 0) {
        error = std::strerror(failed);
        close(in[1]);
        close(out[0]);
        return nullptr;
    }
    set_nonblocking(in[1]);
    set_nonblocking(out[0]);
    child_process* child = new child_process;
    child->pid = pid;
    child->input = in[1];
    child->output = out[0];
    return child;
}

bool child_write(child_process* child, const std::string& text) {
    if (child->input < 0)
        return false;
    ssize_t n;
    do {
        n = write(child->input, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(text.size());
}

bool child_read_lines(child_process* child, std::vector<std::string>& lines) {
    if (!child->output_ended && !drain(child->output, child->pending))
        child->output_ended = true;
    take_lines(child->pending, lines, child->output_ended);
    return !child->output_ended;
}

void child_stop(child_process* child) {
    if (!child->reaped)
        kill(child->pid, SIGTERM);
}

void child_kill(child_process* child) {
    if (!child->reaped)
        kill(child->pid, SIGKILL);
}

bool child_ended(child_process* child, child_exit& how) {
    if (!child->reaped) {
        int status = 0;
        pid_t r;
        do {
            r = waitpid(child->pid, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r != child->pid)
            return false;
        child->reaped = true;
        if (WIFEXITED(status))
            child->how.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            child->how.signal = WTERMSIG(status);
    }
    how = child->how;
    return true;
}

void child_release(child_process* child) {
    if (!child)
        return;
    if (child->input >= 0)
        close(child->input);
    if (child->output >= 0)
        close(child->output);
    if (!child->reaped) {
        int status = 0;
        while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    delete child;
}

void wait_for_activity(const std::vector<child_process*>& children, bool watch_input,
                       int timeout_ms) {
    std::vector<pollfd> fds;
    if (stop_pipe[0] >= 0)
        fds.push_back({stop_pipe[0], POLLIN, 0});
    if (watch_input)
        fds.push_back({0, POLLIN, 0});
    for (const child_process* child : children)
        if (child && !child->output_ended)
            fds.push_back({child->output, POLLIN, 0});
    if (stop_flag)
        timeout_ms = 0;
    poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout_ms < 0 ? -1 : timeout_ms);
    if (stop_pipe[0] >= 0) {
        // The flag stays set; the byte only had to wake this wait.
        std::string bytes;
        drain(stop_pipe[0], bytes);
    }
}

bool input_read_lines(std::vector<std::string>& lines) {
    static std::string pending;
    pollfd fd{0, POLLIN, 0};
    while (poll(&fd, 1, 0) > 0) {
        char buffer[1024];
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            take_lines(pending, lines, true);
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        fd.revents = 0;
    }
    take_lines(pending, lines, false);
    return true;
}

void stop_input_echo() {
    if (input_saved || !isatty(0) || tcgetattr(0, &saved_input) != 0)
        return;
    termios quiet = saved_input;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(0, TCSANOW, &quiet) == 0)
        input_saved = true;
}

void restore_input_echo() {
    if (input_saved)
        tcsetattr(0, TCSANOW, &saved_input);
    input_saved = false;
}

std::string own_executable(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0)
        return std::string(path, static_cast<std::size_t>(n));
    return argv0 ? argv0 : "korvin";
}

void install_stop_handlers() {
    parent = getppid();
    if (stop_pipe[0] < 0) {
        if (make_pipe(stop_pipe)) {
            set_nonblocking(stop_pipe[0]);
            set_nonblocking(stop_pipe[1]);
        } else {
            stop_pipe[0] = stop_pipe[1] = -1;
        }
    }
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a waiting read or poll returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() {
    return stop_flag != 0;
}

bool parent_gone() {
    return parent != 0 && getppid() != parent;
}

std::FILE* divert_standard_output() {
    std::fflush(stdout);
    const int events = fcntl(1, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (events < 0 || null < 0 || dup2(null, 1) < 0) {
        if (events >= 0)
            close(events);
        if (null >= 0)
            close(null);
        return nullptr;
    }
    close(null);
    return fdopen(events, "w");
}

bool output_is_terminal() {
    return isatty(1) != 0;
}

int terminal_columns() {
    winsize size{};
    if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace korvin
