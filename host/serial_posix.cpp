// The serial link on termios (Linux, macOS).
#include "serial_posix.h"
#include "serial.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
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
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

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

std::string open_explanation;

std::string user_name(uid_t uid) {
    const passwd* pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(static_cast<unsigned long>(uid));
}

std::string group_name(gid_t gid) {
    const group* gr = getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(static_cast<unsigned long>(gid));
}

// A user added to a group keeps the old group set until logging in again:
// the group file already lists the user, this process's groups do not.
group_membership membership_of(gid_t gid) {
    if (getegid() == gid)
        return group_membership::yes;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) == count &&
        std::find(groups.begin(), groups.end(), gid) != groups.end())
        return group_membership::yes;
    const passwd* pw = getpwuid(geteuid());
    if (!pw)
        return group_membership::no;
    const std::string name = pw->pw_name;
    const gid_t primary = pw->pw_gid;
    int listed = 64;
    std::vector<gid_t> list(static_cast<std::size_t>(listed));
    if (getgrouplist(name.c_str(), primary, list.data(), &listed) < 0) {
        list.resize(static_cast<std::size_t>(listed));
        if (getgrouplist(name.c_str(), primary, list.data(), &listed) < 0)
            return group_membership::no;
    }
    list.resize(static_cast<std::size_t>(listed));
    return std::find(list.begin(), list.end(), gid) != list.end() ? group_membership::after_login
                                                                  : group_membership::no;
}

// The same device: for device nodes the device numbers (two nodes may name
// one device), for anything else the inode.
bool same_device(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode))
        return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The other processes with the device open, from their descriptors in
// /proc (each a link that stat follows to the open file). Without /proc,
// or for other users' processes when not root, nothing is found.
std::vector<port_holder> find_holders(const struct stat& device) {
    namespace fs = std::filesystem;
    std::vector<port_holder> holders;
    const long self = static_cast<long>(getpid());
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            std::strtol(pid.c_str(), nullptr, 10) == self)
            continue;
        std::error_code fd_ec;
        for (fs::directory_iterator fd(it->path() / "fd", fd_ec), fd_end; !fd_ec && fd != fd_end;
             fd.increment(fd_ec)) {
            struct stat st {};
            if (stat(fd->path().c_str(), &st) != 0 || !same_device(device, st))
                continue;
            std::ifstream comm(it->path() / "comm");
            std::string program;
            std::getline(comm, program);
            holders.push_back({std::strtol(pid.c_str(), nullptr, 10), program});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(),
              [](const port_holder& a, const port_holder& b) { return a.pid < b.pid; });
    return holders;
}

bool is_busy(open_step step, int error) {
    return error == EBUSY || (step == open_step::lock && (error == EWOULDBLOCK || error == EAGAIN));
}

// What the system shows of the device right after the failure.
open_failure examine_failure(const std::string& name, const std::string& device, open_step step,
                             int error) {
    open_failure f;
    f.port = name;
    f.device = device;
    f.step = step;
    f.error = error;
    struct stat st {};
    if (stat(device.c_str(), &st) != 0)
        return f;
    f.node_found = true;
    f.mode = st.st_mode;
    f.owner = user_name(st.st_uid);
    f.group = group_name(st.st_gid);
    if (error == EACCES || error == EPERM)
        f.membership = membership_of(st.st_gid);
    if (is_busy(step, error))
        f.holders = find_holders(st);
    return f;
}

int open_device(const std::string& device, const std::string& name) {
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
        open_explanation = explain_open_failure(examine_failure(name, device, step, error));
        return 0;
    }
    return 1;
}

// "crw-rw----", as ls shows a mode.
std::string mode_text(unsigned mode) {
    const char type = S_ISCHR(mode)    ? 'c'
                      : S_ISBLK(mode)  ? 'b'
                      : S_ISDIR(mode)  ? 'd'
                      : S_ISFIFO(mode) ? 'p'
                      : S_ISSOCK(mode) ? 's'
                      : S_ISLNK(mode)  ? 'l'
                                       : '-';
    std::string text(1, type);
    const char* const letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        text += (mode & (0400u >> i)) ? letters[i] : '-';
    return text;
}

// "a (process 1)", "a (process 1) and b (process 2)", "a, b and c".
std::string holder_list(const std::vector<port_holder>& holders) {
    std::string text;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        if (i > 0)
            text += i + 1 == holders.size() ? " and " : ", ";
        const std::string& program = holders[i].program.empty() ? "a program" : holders[i].program;
        text += program + " (process " + std::to_string(holders[i].pid) + ")";
    }
    return text;
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

std::string serial_open_explanation() {
    return open_explanation;
}

std::string explain_open_failure(const open_failure& f) {
    static const std::string LIST_PORTS =
        "Run korvin --list-ports to see the serial ports this machine has.\n";
    const std::string& device = f.device;
    const int e = f.error;
    const std::string reason = std::strerror(e);
    std::string text;
    if (f.port != device)
        text += f.port + " is " + device + " on this system.\n";

    if (e == EACCES || e == EPERM) {
        text += "You may not open " + device + " (" + reason + ").\n";
        if (!f.node_found)
            return text + "A folder above it keeps you out: check the folders' permissions.\n";
        const std::string mode = "(mode " + mode_text(f.mode) + ")";
        // Opening for reading and writing takes both permissions.
        if ((f.mode & 060u) != 060u) {
            const std::string as = f.owner == "root" ? "root" : f.owner + " or root";
            return text + device + " belongs to user " + f.owner + " " + mode +
                   " and its group may not use it; run korvin as " + as +
                   ", or ask an administrator to let a group use the port.\n";
        }
        text += device + " belongs to group " + f.group + " " + mode;
        switch (f.membership) {
        case group_membership::no:
            return text + "; add yourself with: sudo usermod -aG " + f.group +
                   " $USER, then log in again.\n";
        case group_membership::after_login:
            return text + "; you were added to " + f.group +
                   " after this session began: log out and in again.\n";
        case group_membership::yes:
            break;
        }
        return text + " and you are in that group; something else refuses it (an access control "
                      "list or a security policy): ask an administrator.\n";
    }
    if (is_busy(f.step, e)) {
        if (f.holders.empty())
            return text + device + " is in use by another program; close it and try again.\n";
        return text + device + " is in use by " + holder_list(f.holders) + "; close " +
               (f.holders.size() == 1 ? "that program" : "those programs") + " and try again.\n";
    }
    if (e == ENOENT || e == ENOTDIR)
        return text + device + " does not exist.\n" + LIST_PORTS;
    // A serial driver's node with no port, or no UART, behind it.
    if (e == ENXIO || e == ENODEV || e == EIO)
        return text + "There is no serial port behind " + device + " (" + reason + ").\n" +
               LIST_PORTS;
    if (f.step == open_step::exclusive && (e == ENOTTY || e == EINVAL))
        return text + device + " is not a serial port (" + reason + ").\n" + LIST_PORTS;
    const char* doing = f.step == open_step::open        ? "Opening "
                        : f.step == open_step::exclusive ? "Reserving (TIOCEXCL) "
                                                         : "Locking (flock) ";
    return text + doing + device + " failed: " + reason + ".\n";
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
    static const char* const NAMES[] = {"unknown", "8250",     "16450",      "16550",
                                        "16550A",  "Cirrus",   "ST16650",    "ST16650V2",
                                        "TI16750", "Startech", "16C950/954", "ST16654",
                                        "XR16850", "RSA",      "NS16550A",   "XScale"};
    if (type > 0 && type < static_cast<long>(sizeof NAMES / sizeof NAMES[0]))
        return std::string(NAMES[type]) + " UART";
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

// The 8250 driver's lines with a UART, from procfs when sysfs is not there:
// "0: uart:16550A port:000003F8 irq:4 ..." -> {0, "16550A"}; "uart:unknown"
// lines have none.
std::map<long, std::string> uarts_from_procfs(const fs::path& file) {
    std::map<long, std::string> uarts;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        const std::size_t at = line.find(" uart:");
        if (colon == std::string::npos || at == std::string::npos ||
            !all_digits(line.substr(0, colon)) || colon > 6)
            continue;
        const std::size_t start = at + 6;
        const std::string name = line.substr(start, line.find(' ', start) - start);
        if (!name.empty() && name != "unknown")
            uarts[std::strtol(line.c_str(), nullptr, 10)] = name;
    }
    return uarts;
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
    // A container or a chroot may lack sysfs; procfs then tells the UARTs.
    const bool have_sysfs = fs::is_directory(sys / "class/tty", ec);
    const std::map<long, std::string> proc_uarts =
        have_sysfs ? std::map<long, std::string>{}
                   : uarts_from_procfs(root + "/proc/tty/driver/serial");
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long n = device_number(name, "ttyS");
        if (n >= 0) {
            // The kernel makes ttyS nodes for every line it could drive;
            // only a nonzero port type has a UART behind it. Without either
            // account of the lines, none is listed.
            std::string uart;
            if (have_sysfs) {
                const long type = std::strtol(
                    read_attribute(sys / "class/tty" / name / "type").c_str(), nullptr, 10);
                if (type > 0)
                    uart = uart_description(type);
            } else if (proc_uarts.count(n) != 0) {
                uart = proc_uarts.at(n) + " UART";
            }
            if (!uart.empty()) {
                const auto number = static_cast<std::int32_t>(n + 1);
                ports.push_back({std::to_string(number),
                                 com_port_name(number) + " (/dev/" + name + "), " + uart});
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
