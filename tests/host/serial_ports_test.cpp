// The POSIX port listing over a machine built under a temporary directory,
// laid out as the kernel's sysfs and udev's /dev are, and over this machine.
#include "ports.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace korvin {
namespace {

namespace fs = std::filesystem;

class fake_machine {
  public:
    fake_machine() {
        static int count = 0;
        root_ = fs::temp_directory_path() /
                ("korvin-ports-" + std::to_string(getpid()) + "-" + std::to_string(++count));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~fake_machine() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fake_machine(const fake_machine&) = delete;
    fake_machine& operator=(const fake_machine&) = delete;

    std::string root() const { return root_.string(); }

    // A file (sysfs attributes end with a line feed), its folders with it.
    void file(const std::string& path, const std::string& text = "") {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories((root_ / path).parent_path());
        fs::create_symlink(target, root_ / path);
    }

    // /dev/ttySn and its class entry, with serial core's port type.
    void uart(int n, const std::string& type) {
        const std::string name = "ttyS" + std::to_string(n);
        file("dev/" + name);
        file("sys/devices/platform/serial8250/tty/" + name + "/type", type + "\n");
        link("sys/class/tty/" + name, "../../devices/platform/serial8250/tty/" + name);
    }

    // A USB device below the root hub, with whichever strings are non-empty.
    void usb_device(const std::string& port, const std::string& manufacturer,
                    const std::string& product, const std::string& serial) {
        const std::string dir = hub + "/" + port + "/";
        file(dir + "idVendor", "0403\n");
        if (!manufacturer.empty())
            file(dir + "manufacturer", manufacturer + "\n");
        if (!product.empty())
            file(dir + "product", product + "\n");
        if (!serial.empty())
            file(dir + "serial", serial + "\n");
    }

    // ttyUSBn: the usb-serial driver's port directory inside the interface.
    void usb_serial(const std::string& port, int n, const std::string& driver) {
        const std::string name = "ttyUSB" + std::to_string(n);
        const std::string port_dir = hub + "/" + port + "/" + port + ":1.0/" + name;
        file("dev/" + name);
        file(port_dir + "/uevent");
        link(port_dir + "/driver", "../../../../../../bus/usb-serial/drivers/" + driver);
        link(port_dir + "/tty/" + name + "/device", "../../../" + name);
        link("sys/class/tty/" + name, "../../" + port_dir.substr(4) + "/tty/" + name);
    }

    // ttyACMn: cdc_acm puts the tty straight below the interface.
    void usb_acm(const std::string& port, int n) {
        const std::string name = "ttyACM" + std::to_string(n);
        const std::string interface = port + ":1.0";
        const std::string dir = hub + "/" + port + "/" + interface;
        file("dev/" + name);
        file(dir + "/interface", "CDC Abstract Control Model\n");
        link(dir + "/driver", "../../../../../../bus/usb/drivers/cdc_acm");
        link(dir + "/tty/" + name + "/device", "../../../" + interface);
        link("sys/class/tty/" + name, "../../" + dir.substr(4) + "/tty/" + name);
    }

    // The root hub has strings of its own, which no adapter below it may take.
    void root_hub() {
        file(hub + "/idVendor", "1d6b\n");
        file(hub + "/manufacturer", "Linux 6.1.0 xhci-hcd\n");
        file(hub + "/product", "xHCI Host Controller\n");
    }

    // The 8250 driver's account of its lines, as procfs gives it.
    void proc_serial(const std::string& lines) {
        file("proc/tty/driver/serial", "serinfo:1.0 driver revision:\n" + lines);
    }

    const std::string hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

  private:
    fs::path root_;
};

std::map<std::string, std::string> by_argument(const std::vector<serial_port_entry>& ports) {
    std::map<std::string, std::string> m;
    for (const auto& p : ports)
        m[p.argument] = p.description;
    return m;
}

struct uart_case {
    int line;
    std::string type;     // the sysfs type file
    std::string argument; // "" when the port must be left out
    std::string description;
};

TEST(SerialListPorts, KeepsOnlyTheTtySWithAUartBehindThem) {
    const uart_case cases[] = {
        {0, "4", "1", "COM1 (/dev/ttyS0), 16550A UART"},
        {1, "0", "", ""}, // no UART: the kernel made the node all the same
        {2, "1", "3", "COM3 (/dev/ttyS2), 8250 UART"},
        {3, "14", "4", "COM4 (/dev/ttyS3), NS16550A UART"},
        {4, "37", "5", "COM5 (/dev/ttyS4), UART type 37"},
        {11, "4", "12", "COM12 (/dev/ttyS11), 16550A UART"},
        {12, "", "", ""}, // unreadable type: nothing known to be there
    };
    fake_machine m;
    for (const auto& c : cases)
        m.uart(c.line, c.type);
    m.file("dev/ttyS5"); // a node without a sysfs entry
    m.file("dev/ttySAC0");
    m.uart(7, "4");
    fs::remove(m.root() + "/dev/ttyS7"); // sysfs without the node: nothing to open

    const auto ports = by_argument(serial_list_ports_under(m.root()));
    std::size_t kept = 0;
    for (const auto& c : cases) {
        if (c.argument.empty()) {
            EXPECT_EQ(ports.count(std::to_string(c.line + 1)), 0u) << "ttyS" << c.line;
            continue;
        }
        ++kept;
        ASSERT_EQ(ports.count(c.argument), 1u) << "ttyS" << c.line;
        EXPECT_EQ(ports.at(c.argument), c.description);
    }
    EXPECT_EQ(ports.size(), kept);
}

TEST(SerialListPorts, DescribesUsbAdaptersFromTheirUsbDevice) {
    fake_machine m;
    m.root_hub();
    m.usb_device("1-2", "FTDI", "FT232R USB UART", "A50285BI");
    m.usb_serial("1-2", 0, "ftdi_sio");
    // No strings at all: the driver, not the hub's strings.
    m.usb_device("1-3", "", "", "");
    m.usb_serial("1-3", 1, "pl2303");
    // The product already begins with the maker's name.
    m.usb_device("1-4", "Silicon Labs", "Silicon Labs CP2102 USB to UART Bridge", "");
    m.usb_serial("1-4", 2, "cp210x");
    m.usb_device("1-5", "STMicroelectronics", "STM32 Virtual ComPort", "");
    m.usb_acm("1-5", 0);
    // A node whose sysfs entry is missing.
    m.file("dev/ttyUSB3");

    const auto ports = by_argument(serial_list_ports_under(m.root()));
    const std::map<std::string, std::string> expected{
        {"/dev/ttyUSB0", "FTDI FT232R USB UART, serial A50285BI"},
        {"/dev/ttyUSB1", "driver pl2303"},
        {"/dev/ttyUSB2", "Silicon Labs CP2102 USB to UART Bridge"},
        {"/dev/ttyUSB3", "USB serial port"},
        {"/dev/ttyACM0", "STMicroelectronics STM32 Virtual ComPort"},
    };
    EXPECT_EQ(ports, expected);
}

TEST(SerialListPorts, ByIdLinksNameTheDeviceTheyPointTo) {
    fake_machine m;
    m.root_hub();
    m.usb_device("1-2", "FTDI", "FT232R USB UART", "A50285BI");
    m.usb_serial("1-2", 0, "ftdi_sio");
    m.usb_device("1-5", "STMicroelectronics", "STM32 Virtual ComPort", "");
    m.usb_acm("1-5", 0);
    const std::string by_id = "dev/serial/by-id/";
    m.link(by_id + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    m.link(by_id + "usb-STMicroelectronics_STM32-if00", "../../ttyACM0");
    m.link(by_id + "usb-gone-if00-port0", "../../ttyUSB7"); // unplugged, link not yet removed
    m.file("dev/ttyS9");
    m.link(by_id + "pci-not-described", "../../ttyS9"); // a node the listing left out

    const auto ports = by_argument(serial_list_ports_under(m.root()));
    const std::string shown = "/dev/serial/by-id/";
    const std::map<std::string, std::string> expected{
        {"/dev/ttyUSB0", "FTDI FT232R USB UART, serial A50285BI"},
        {"/dev/ttyACM0", "STMicroelectronics STM32 Virtual ComPort"},
        {shown + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
         "link to /dev/ttyUSB0 (FTDI FT232R USB UART, serial A50285BI)"},
        {shown + "usb-STMicroelectronics_STM32-if00",
         "link to /dev/ttyACM0 (STMicroelectronics STM32 Virtual ComPort)"},
        {shown + "pci-not-described", "link to /dev/ttyS9"},
    };
    EXPECT_EQ(ports, expected);
}

TEST(SerialListPorts, SortsComNumbersFirstThenPathsWithNumbersAsNumbers) {
    fake_machine m;
    for (int line : {10, 1, 9, 0})
        m.uart(line, "4");
    for (int n : {10, 2, 0, 1}) {
        const std::string port = "1-" + std::to_string(n + 1);
        m.usb_device(port, "FTDI", "FT232R USB UART", "");
        m.usb_serial(port, n, "ftdi_sio");
    }
    m.usb_device("1-20", "STMicroelectronics", "STM32 Virtual ComPort", "");
    m.usb_acm("1-20", 0);
    m.link("dev/serial/by-id/usb-FTDI-if00-port0", "../../ttyUSB0");

    std::vector<std::string> order;
    for (const auto& p : serial_list_ports_under(m.root()))
        order.push_back(p.argument);
    const std::vector<std::string> expected{"1",
                                            "2",
                                            "10",
                                            "11",
                                            "/dev/serial/by-id/usb-FTDI-if00-port0",
                                            "/dev/ttyACM0",
                                            "/dev/ttyUSB0",
                                            "/dev/ttyUSB1",
                                            "/dev/ttyUSB2",
                                            "/dev/ttyUSB10"};
    EXPECT_EQ(order, expected);
}

TEST(SerialListPorts, EmptyMachine) {
    fake_machine m;
    EXPECT_TRUE(serial_list_ports_under(m.root()).empty());
    m.file("dev/tty0");
    m.file("dev/ttyS"); // no line number
    m.file("sys/class/tty/ttyS/type", "4\n");
    m.file("dev/serial/by-id/.keep");
    EXPECT_TRUE(serial_list_ports_under(m.root()).empty());
    EXPECT_TRUE(serial_list_ports_under(m.root() + "/missing").empty());
}

// The 8250 driver's own account of its lines, read through procfs rather
// than the sysfs type file the listing reads: "0: uart:16550A port:...",
// "uart:unknown" where no UART answered.
std::map<std::string, std::string> uarts_the_kernel_reports(std::ifstream& in) {
    std::map<std::string, std::string> uarts; // -p argument -> the kernel's UART name
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        const std::size_t at = line.find(" uart:");
        if (colon == std::string::npos || at == std::string::npos)
            continue;
        const int n = std::stoi(line.substr(0, colon));
        std::istringstream rest(line.substr(at + 6));
        std::string name;
        rest >> name;
        if (name != "unknown" && fs::exists("/dev/ttyS" + std::to_string(n)))
            uarts[std::to_string(n + 1)] = name;
    }
    return uarts;
}

// The listing's ttyS entries against the kernel's own account.
void expect_the_uarts(const std::vector<serial_port_entry>& ports,
                      const std::map<std::string, std::string>& uarts) {
    std::map<std::string, std::string> listed;
    for (const auto& p : ports)
        if (p.argument.find_first_not_of("0123456789") == std::string::npos)
            listed[p.argument] = p.description;

    std::vector<std::string> expected_arguments, listed_arguments;
    for (const auto& u : uarts)
        expected_arguments.push_back(u.first);
    for (const auto& p : listed)
        listed_arguments.push_back(p.first);
    EXPECT_EQ(listed_arguments, expected_arguments);
    for (const auto& u : uarts) {
        if (listed.count(u.first) == 0)
            continue;
        const std::string& text = listed.at(u.first);
        // Types past the common ones are shown by number.
        if (text.find("UART type ") == std::string::npos) {
            EXPECT_NE(text.find(", " + u.second + " UART"), std::string::npos) << text;
        }
    }
}

TEST(SerialListPorts, ThisMachineListsTheTtySTheKernelDrives) {
    std::ifstream in("/proc/tty/driver/serial");
    if (!in)
        GTEST_SKIP() << "/proc/tty/driver/serial is not readable here (it needs root)";
    expect_the_uarts(serial_list_ports(), uarts_the_kernel_reports(in));
}

// This machine's ttyS nodes and procfs account in a root without sysfs, as
// a container or a chroot has them.
TEST(SerialListPorts, ThisMachineWithoutSysfsListsTheTtySTheKernelDrives) {
    std::ifstream in("/proc/tty/driver/serial");
    if (!in)
        GTEST_SKIP() << "/proc/tty/driver/serial is not readable here (it needs root)";
    std::ostringstream text;
    text << in.rdbuf();
    fake_machine m;
    m.file("proc/tty/driver/serial", text.str());
    std::error_code ec;
    for (fs::directory_iterator it("/dev", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, 4, "ttyS") == 0)
            m.file("dev/" + name);
    }
    std::ifstream reread("/proc/tty/driver/serial");
    expect_the_uarts(serial_list_ports_under(m.root()), uarts_the_kernel_reports(reread));
}

struct account_case {
    const char* what;
    bool sysfs, procfs;
    std::map<std::string, std::string> expected;
};

// Which account of the lines decides: sysfs when it is there, else procfs,
// else none (the kernel makes a ttyS node for every line it could drive).
TEST(SerialListPorts, WithoutSysfsProcfsTellsWhichTtySHaveAUart) {
    const std::map<std::string, std::string> usb{{"/dev/ttyUSB0", "USB serial port"},
                                                 {"/dev/ttyACM1", "USB serial port"}};
    auto with_usb = [&](std::map<std::string, std::string> m) {
        m.insert(usb.begin(), usb.end());
        return m;
    };
    const account_case cases[] = {
        {"sysfs, procfs disagreeing", true, true,
         with_usb(
             {{"2", "COM2 (/dev/ttyS1), 16550A UART"}, {"4", "COM4 (/dev/ttyS3), 8250 UART"}})},
        {"procfs alone", false, true,
         with_usb({{"1", "COM1 (/dev/ttyS0), 16550A UART"},
                   {"3", "COM3 (/dev/ttyS2), XScale UART"},
                   {"12", "COM12 (/dev/ttyS11), TI16750 UART"}})},
        {"neither", false, false, usb},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_machine m;
        for (int n : {0, 1, 2, 3, 5, 11})
            m.file("dev/ttyS" + std::to_string(n));
        m.file("dev/ttyUSB0");
        m.file("dev/ttyACM1");
        if (c.sysfs) {
            m.uart(1, "4");
            m.uart(3, "1");
            m.uart(0, "0");
            m.file("sys/class/tty/ttyUSB0/.keep"); // an adapter sysfs knows nothing of
            m.file("sys/class/tty/ttyACM1/.keep");
        }
        if (c.procfs)
            m.proc_serial("0: uart:16550A port:000003F8 irq:4 tx:0 rx:0\n"
                          "1: uart:unknown port:000002F8 irq:3\n"
                          "2: uart:XScale mmio:0xD4030000 irq:26 tx:12 rx:0 RTS|DTR\n"
                          "3: uart:unknown port:000002E8 irq:3\n"
                          "4: uart:16550A port:000003E8 irq:4 tx:0 rx:0\n" // no node
                          "11: uart:TI16750 port:0000A000 irq:17 tx:0 rx:0 CTS|CD\n"
                          "12: uart garbled\n");
        EXPECT_EQ(by_argument(serial_list_ports_under(m.root())), c.expected);
    }
}

} // namespace
} // namespace korvin
