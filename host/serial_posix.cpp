// The serial link on termios (Linux).
#include "open_failure.h"
#include "processes.h"
#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

namespace korvin {

namespace {

int port_handle = -1;
// The longest a read waits at once, so that a stop request is seen.
constexpr int STOP_SLICE_MS = 500;
std::string port_name;
bool read_failed = false;

long long monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string open_explanation;

int open_device(const std::string& device, const std::string& name) {
    serial_close(); // there is one port: the one open before is let go
    port_name = name;
    read_failed = false;
    open_explanation.clear();
    open_step step = open_step::open;
    // Non-blocking so that a port without carrier does not hang the open.
    port_handle = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int error = errno;
    if (port_handle >= 0) {
        // TIOCEXCL keeps other users out, but not root; the lock keeps out a
        // second korvin whoever runs it.
        step = open_step::exclusive;
        bool taken = ioctl(port_handle, TIOCEXCL) == 0;
        if (taken) {
            step = open_step::lock;
            taken = flock(port_handle, LOCK_EX | LOCK_NB) == 0;
        }
        if (!taken) {
            error = errno;
            close(port_handle);
            port_handle = -1;
        }
    }
    if (port_handle >= 0) {
        int flags = fcntl(port_handle, F_GETFL);
        fcntl(port_handle, F_SETFL, flags & ~O_NONBLOCK);
    }
    if (port_handle < 0) {
        std::fprintf(stderr, "Could not open serial port %s.\n", port_name.c_str());
        // Examined now, while the holders still hold the port.
        open_explanation = explain_open_failure(examine_open_failure(name, device, step, error));
        return 0;
    }
    return 1;
}

speed_t speed_for(std::uint32_t baud_rate) {
    switch (baud_rate) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        return B115200;
    }
}

} // namespace

int serial_open(std::int32_t port_number) {
    // COM1 is /dev/ttyS0.
    const std::string device =
        "/dev/ttyS" + std::to_string(static_cast<long long>(port_number) - 1);
    return open_device(device, com_port_name(port_number));
}

int serial_open_path(const std::string& path) {
    return open_device(path, path);
}

std::string serial_device_path(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        return "";
    // Terminal devices are named tty... (ttyS0, ttyUSB0, ttyACM0); any other
    // name counts when /dev holds a character device of that name.
    const std::string path = "/dev/" + name;
    struct stat info {};
    if (name.compare(0, 3, "tty") == 0 || (stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)))
        return path;
    return "";
}

const std::string& serial_port_name() {
    return port_name;
}

std::string serial_open_explanation() {
    return open_explanation;
}

int serial_configure(std::uint32_t baud_rate) {
    tcflush(port_handle, TCIOFLUSH);
    termios tio{};
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed_for(baud_rate));
    cfsetospeed(&tio, speed_for(baud_rate));
    const int accepted = tcsetattr(port_handle, TCSANOW, &tio) == 0;
    // Not examined: a pseudo-terminal has no modem lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port_handle, TIOCMBIC, &lines);
    return accepted;
}

int serial_write_byte(unsigned byte) {
    const unsigned char b = static_cast<unsigned char>(byte);
    ssize_t n;
    do {
        n = write(port_handle, &b, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

unsigned serial_read_byte(std::uint32_t timeout_ms, bool* missed) {
    if (missed)
        *missed = false;
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        // A stop request (--events) ends even a read without limit: the
        // signal breaks the poll, and the slices cover one that came just
        // before it.
        if (stop_requested())
            break;
        int wait = STOP_SLICE_MS;
        if (timeout_ms != 0) {
            const long long left = deadline - monotonic_ms();
            wait = left <= 0 ? 0 : left > STOP_SLICE_MS ? STOP_SLICE_MS : static_cast<int>(left);
        }
        pollfd pfd{port_handle, POLLIN, 0};
        const int r = poll(&pfd, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            if (timeout_ms == 0 || deadline - monotonic_ms() > 0)
                continue; // waiting on, slice by slice
            break;        // timed out
        }
        if (r > 0 && (pfd.revents & POLLIN)) {
            unsigned char b = 0;
            ssize_t n;
            do {
                n = read(port_handle, &b, 1);
            } while (n < 0 && errno == EINTR);
            if (n == 1)
                return b;
        }
        // An error or hang-up, or a read that returned nothing though poll
        // said there was data: the device is gone.
        read_failed = true;
        break;
    }
    if (missed)
        *missed = true;
    return 0;
}

bool serial_failed() {
    return read_failed;
}

void serial_close() {
    if (port_handle >= 0)
        close(port_handle);
    port_handle = -1;
}

void pause_10ms() {
    timespec left{0, 10 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace korvin
