#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvin::test {

namespace {

using clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The first qemu-system-x86_64 on PATH, or "".
std::string find_qemu() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(at, end - at) + "/qemu-system-x86_64";
        if (end > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

// The kernel guest.sh left: the plain ELF image boots much faster under
// TCG (no decompression in the guest), the bzImage is the fallback.
std::string kernel_image(const std::string& image_dir) {
    return exists(image_dir + "/vmlinux") ? image_dir + "/vmlinux" : image_dir + "/vmlinuz";
}

std::string base64_decode(const std::string& text) {
    std::string out;
    unsigned bits = 0, value = 0;
    for (char c : text) {
        unsigned v;
        if (c >= 'A' && c <= 'Z')
            v = static_cast<unsigned>(c - 'A');
        else if (c >= 'a' && c <= 'z')
            v = static_cast<unsigned>(c - 'a' + 26);
        else if (c >= '0' && c <= '9')
            v = static_cast<unsigned>(c - '0' + 52);
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue; // '=' padding
        value = (value << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xff);
        }
    }
    return out;
}

bool begins_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The "desc" of a QMP error reply, or the whole reply.
std::string qmp_error(const std::string& reply) {
    const std::string key = "\"desc\": \"";
    const std::size_t at = reply.find(key);
    if (at == std::string::npos)
        return reply;
    const std::size_t end = reply.find('"', at + key.size());
    return reply.substr(at + key.size(), end - at - key.size());
}

} // namespace

std::string qemu_guest::unavailable(const std::string& image_dir) {
    if (find_qemu().empty())
        return "no qemu-system-x86_64 (Debian package qemu-system-x86)";
    if (!exists(image_dir + "/initrd.gz") || !exists(kernel_image(image_dir)))
        return "no guest image in " + image_dir +
               " (the drivers.guest_setup test builds it; its output says why not)";
    return "";
}

qemu_guest::qemu_guest(const std::string& image_dir, const std::string& work_dir)
    : work_dir_(work_dir) {
    mkdir(work_dir_.c_str(), 0755);
    const std::string console = work_dir_ + "/console", qmp_path = work_dir_ + "/qmp";
    for (const std::string& fifo : {console + ".in", console + ".out"}) {
        unlink(fifo.c_str());
        mkfifo(fifo.c_str(), 0600);
    }
    unlink(qmp_path.c_str());
    const clock::time_point start = clock::now();
    qemu_ = std::make_unique<child_process>(std::vector<std::string>{
        find_qemu(), "-nodefaults", "-no-user-config", "-display", "none", "-accel", "tcg", "-m",
        "256", "-no-reboot", "-kernel", kernel_image(image_dir), "-initrd",
        image_dir + "/initrd.gz", "-append",
        // quiet and no mitigations: each saves about a second of the boot under TCG.
        "console=ttyS0 quiet mitigations=off panic=-1",
        // ttyS0, the console: commands in, answers out.
        "-chardev", "pipe,id=console,path=" + console, "-serial", "chardev:console",
        // ttyS1, the 16550 korvin tests through; no board until one is plugged.
        "-chardev", "null,id=uart", "-serial", "chardev:uart",
        // The controller the FTDI adapters are plugged into.
        "-device", "qemu-xhci,id=xhci", "-qmp", "unix:" + qmp_path + ",server=on,wait=off"});
    // Read-write: the opens return at once, and the pipes stay usable
    // whenever QEMU has them open.
    console_in_ = open((console + ".in").c_str(), O_RDWR | O_CLOEXEC);
    console_out_ = open((console + ".out").c_str(), O_RDWR | O_CLOEXEC);
    reader_ = std::thread([this] { read_console(); });

    const clock::time_point end = start + std::chrono::seconds(90);
    while (clock::now() < end && qmp_fd_ < 0) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, qmp_path.c_str(), sizeof addr.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            qmp_fd_ = fd;
            break;
        }
        close(fd);
        std::this_thread::sleep_for(20ms);
    }
    std::string greeting;
    if (qmp_fd_ < 0 || !qmp_line(greeting, end) ||
        !qmp("{\"execute\": \"qmp_capabilities\"}").empty())
        return;
    // A guest that cannot boot makes QEMU exit (panic=-1, -no-reboot), which
    // closes the QMP socket: no need to wait for the whole bound then.
    while (!booted_ && clock::now() < end && !qmp_closed())
        booted_ = !wait_answer("@@READY", 200ms).empty();
    boot_time_ = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
}

qemu_guest::~qemu_guest() {
    if (booted_)
        send("poweroff");
    qemu_->wait(20s);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    reader_.join();
    for (int fd : {console_in_, console_out_, qmp_fd_})
        if (fd >= 0)
            close(fd);
    for (const char* name : {"/console.in", "/console.out", "/qmp"})
        unlink((work_dir_ + name).c_str());
    rmdir(work_dir_.c_str());
}

void qemu_guest::read_console() {
    char buf[4096];
    std::string partial;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
        }
        pollfd p{console_out_, POLLIN, 0};
        if (poll(&p, 1, 100) != 1)
            continue;
        const ssize_t n = read(console_out_, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        console_.append(buf, static_cast<std::size_t>(n));
        partial.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            std::string line = partial.substr(0, nl);
            partial.erase(0, nl + 1);
            // The console's line discipline turns \n into \r\n.
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines_.push_back(line);
            taken_.push_back(false);
        }
        changed_.notify_all();
    }
}

void qemu_guest::send(const std::string& line) {
    const std::string text = line + "\n";
    if (write(console_in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "could not send '%s' to the guest\n", line.c_str());
}

std::string qemu_guest::wait_answer(const std::string& line, std::chrono::milliseconds timeout) {
    const clock::time_point end = clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (std::size_t next = 0;;) {
        for (; next < lines_.size(); ++next) {
            const std::string& l = lines_[next];
            if (!taken_[next] && (l == line || begins_with(l, line + " "))) {
                taken_[next] = true;
                return l;
            }
        }
        if (changed_.wait_until(lock, end) == std::cv_status::timeout && next == lines_.size())
            return "";
    }
}

guest_run qemu_guest::wait_run(const std::string& id, std::chrono::milliseconds timeout) {
    guest_run run;
    const std::string end = wait_answer("@@END " + id, timeout);
    if (end.empty())
        return run;
    run.ended = true;
    run.status = std::atoi(end.substr(end.rfind(' ') + 1).c_str());
    std::string out, err;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& l : lines_) {
        if (begins_with(l, "@@OUT " + id + " "))
            out += l.substr(7 + id.size());
        else if (begins_with(l, "@@ERR " + id + " "))
            err += l.substr(7 + id.size());
    }
    run.out = base64_decode(out);
    run.err = base64_decode(err);
    return run;
}

std::string qemu_guest::console() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return console_;
}

std::string qemu_guest::dmesg() {
    const std::string id = "dmesg" + std::to_string(++answer_count_);
    send("dmesg " + id);
    return wait_run(id, 30s).out;
}

bool qemu_guest::qmp_closed() {
    // Events (SHUTDOWN among them) may come before the end of the stream.
    for (;;) {
        char buf[4096];
        const ssize_t n = recv(qmp_fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0)
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        qmp_buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

bool qemu_guest::qmp_line(std::string& line, clock::time_point end) {
    for (;;) {
        const std::size_t nl = qmp_buffer_.find('\n');
        if (nl != std::string::npos) {
            line = qmp_buffer_.substr(0, nl);
            qmp_buffer_.erase(0, nl + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{qmp_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) != 1)
            continue;
        char buf[4096];
        const ssize_t n = read(qmp_fd_, buf, sizeof buf);
        if (n <= 0)
            return false; // QEMU has gone
        qmp_buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string qemu_guest::qmp(const std::string& command) {
    if (qmp_fd_ < 0)
        return "no QMP connection";
    const std::string text = command + "\n";
    if (write(qmp_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "could not send the QMP command";
    const clock::time_point end = clock::now() + 30s;
    std::string line;
    while (qmp_line(line, end)) {
        if (begins_with(line, "{\"return\""))
            return "";
        if (begins_with(line, "{\"error\""))
            return qmp_error(line);
        events_.push_back(line);
    }
    return "no QMP reply to " + command;
}

bool qemu_guest::wait_event(const std::string& text, std::chrono::milliseconds timeout) {
    const clock::time_point end = clock::now() + timeout;
    for (std::size_t i = 0;; ++i) {
        if (i == events_.size()) {
            std::string line;
            if (!qmp_line(line, end))
                return false;
            events_.push_back(line);
        }
        if (events_[i].find(text) != std::string::npos) {
            events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
}

} // namespace korvin::test
