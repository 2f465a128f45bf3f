// The serial link on termios (Linux, macOS).
#include "serial_posix.h"
#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace korvin {

namespace {

int port_handle = -1;
std::string port_name;
bool read_failed = false;

long long monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int open_device(const std::string& device, const std::string& name) {
    port_name = name;
    read_failed = false;
    // Non-blocking so that a port without carrier does not hang the open.
    port_handle = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_handle >= 0) {
        // TIOCEXCL keeps other users out, but not root; the lock keeps out a
        // second korvin whoever runs it.
        if (ioctl(port_handle, TIOCEXCL) != 0 || flock(port_handle, LOCK_EX | LOCK_NB) != 0) {
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
    // Terminal devices are named tty... (ttyS0, ttyUSB0, ttyACM0) or, on
    // BSD and macOS, cu...; any other name counts when /dev holds a
    // character device of that name.
    const std::string path = "/dev/" + name;
    struct stat info {};
    if (name.compare(0, 3, "tty") == 0 || name.compare(0, 3, "cu.") == 0 ||
        (stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)))
        return path;
    return "";
}

const std::string& serial_port_name() {
    return port_name;
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
        int wait = -1;
        if (timeout_ms != 0) {
            const long long left = deadline - monotonic_ms();
            wait = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd pfd{port_handle, POLLIN, 0};
        const int r = poll(&pfd, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            if (timeout_ms != 0 && deadline - monotonic_ms() > 0)
                continue; // a bound longer than poll can take at once
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

std::string system_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

void pause_10ms() {
    timespec left{0, 10 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute without its line end; "" when absent.
std::string read_attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return "";
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

// The number after `prefix` in a device name ("ttyS12" -> 12), or -1.
long device_number(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const std::string digits = name.substr(prefix.size());
    if (!all_digits(digits) || digits.size() > 6)
        return -1;
    return std::strtol(digits.c_str(), nullptr, 10);
}

// Serial core's port types as the 8250 driver names them; 0 is no UART.
std::string uart_description(long type) {
    static const char* const names[] = {"unknown", "8250",     "16450",      "16550",
                                        "16550A",  "Cirrus",   "ST16650",    "ST16650V2",
                                        "TI16750", "Startech", "16C950/954", "ST16654",
                                        "XR16850", "RSA",      "NS16550A",   "XScale"};
    if (type > 0 && type < static_cast<long>(sizeof names / sizeof names[0]))
        return std::string(names[type]) + " UART";
    return "UART type " + std::to_string(type);
}

// A USB adapter's own strings, from the USB device (the directory with
// idVendor) above the tty's interface; else the name of its driver. The
// walk stops at the device: the hub above it has strings of its own.
std::string usb_description(const fs::path& sys, const std::string& name) {
    std::error_code ec;
    const fs::path device = fs::canonical(sys / "class/tty" / name / "device", ec);
    if (ec)
        return "USB serial port";
    const std::string top = fs::canonical(sys, ec).string();
    for (fs::path dir = device; !ec && dir.string().size() > top.size() && dir != dir.parent_path();
         dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec))
            continue;
        const std::string manufacturer = read_attribute(dir / "manufacturer");
        std::string text = read_attribute(dir / "product");
        if (text.compare(0, manufacturer.size(), manufacturer) != 0)
            text = text.empty() ? manufacturer : manufacturer + " " + text;
        const std::string serial = read_attribute(dir / "serial");
        if (!serial.empty())
            text += text.empty() ? "serial " + serial : ", serial " + serial;
        if (!text.empty())
            return text;
        break;
    }
    const std::string driver = fs::read_symlink(device / "driver", ec).filename().string();
    return ec || driver.empty() ? "USB serial port" : "driver " + driver;
}

// Digit runs compare as numbers (ttyUSB2 before ttyUSB10); COM numbers come
// before device paths.
bool natural_less(const std::string& a, const std::string& b) {
    const bool a_com = all_digits(a), b_com = all_digits(b);
    if (a_com != b_com)
        return a_com;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            while (i + 1 < a.size() && a[i] == '0' && digit(a[i + 1]))
                ++i;
            while (j + 1 < b.size() && b[j] == '0' && digit(b[j + 1]))
                ++j;
            std::size_t ie = i, je = j;
            while (ie < a.size() && digit(a[ie]))
                ++ie;
            while (je < b.size() && digit(b[je]))
                ++je;
            if (ie - i != je - j)
                return ie - i < je - j;
            const int c = a.compare(i, ie - i, b, j, je - j);
            if (c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

} // namespace

std::vector<serial_port_entry> serial_list_ports_under(const std::string& root) {
    const fs::path dev(root + "/dev"), sys(root + "/sys");
    std::vector<serial_port_entry> ports;
    std::error_code ec;
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long n = device_number(name, "ttyS");
        if (n >= 0) {
            // The kernel makes ttyS nodes for every line it could drive;
            // only a nonzero port type has a UART behind it.
            const long type =
                std::strtol(read_attribute(sys / "class/tty" / name / "type").c_str(), nullptr, 10);
            if (type > 0) {
                const auto number = static_cast<std::int32_t>(n + 1);
                ports.push_back({std::to_string(number), com_port_name(number) + " (/dev/" + name +
                                                             "), " + uart_description(type)});
            }
        } else if (device_number(name, "ttyUSB") >= 0 || device_number(name, "ttyACM") >= 0) {
            ports.push_back({"/dev/" + name, usb_description(sys, name)});
        }
    }
    // udev's stable names for the same adapters; the links are relative.
    const std::size_t devices = ports.size();
    const fs::path by_id = dev / "serial/by-id";
    for (fs::directory_iterator it(by_id, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code link_ec;
        const fs::path target = fs::read_symlink(it->path(), link_ec);
        if (link_ec)
            continue;
        const fs::path node = target.is_absolute() ? fs::path(root + target.string())
                                                   : (by_id / target).lexically_normal();
        if (!fs::exists(node, link_ec))
            continue; // a stale link: no device behind it
        const std::string shown = "/" + node.lexically_relative(root.empty() ? "/" : root).string();
        std::string text = "link to " + shown;
        for (std::size_t k = 0; k < devices; ++k)
            if (ports[k].argument == shown)
                text += " (" + ports[k].description + ")";
        ports.push_back({"/dev/serial/by-id/" + it->path().filename().string(), text});
    }
    std::sort(ports.begin(), ports.end(),
              [](const serial_port_entry& a, const serial_port_entry& b) {
                  return natural_less(a.argument, b.argument);
              });
    return ports;
}

std::vector<serial_port_entry> serial_list_ports() {
    return serial_list_ports_under("");
}

} // namespace korvin
