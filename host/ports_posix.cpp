// The serial ports of a Linux machine, from devfs, sysfs and procfs.
#include "ports.h"
#include "serial.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace korvin {

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
