// Why a port could not be opened: the text for each cause the system can
// give, then real causes made on this machine (a missing node, a port held
// by another process, a port of another user).
#include "open_failure.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace korvin {
namespace {

const std::string LIST_PORTS =
    "Run korvin --list-ports to see the serial ports this machine has.\n";

std::string reason(int error) {
    return std::strerror(error);
}

struct explanation_case {
    const char* what;
    open_failure failure;
    std::string expected;
};

open_failure failed(const std::string& port, const std::string& device, open_step step, int error,
                    unsigned mode = 0, const std::string& owner = "", const std::string& group = "",
                    group_membership membership = group_membership::no,
                    std::vector<port_holder> holders = {}) {
    open_failure f;
    f.port = port;
    f.device = device;
    f.step = step;
    f.error = error;
    f.node_found = mode != 0;
    f.mode = mode;
    f.owner = owner;
    f.group = group;
    f.membership = membership;
    f.holders = std::move(holders);
    return f;
}

TEST(SerialOpenExplanation, NamesTheCauseAndTheNextStep) {
    const std::string usb = "/dev/ttyUSB0";
    const unsigned chr = S_IFCHR;
    const explanation_case cases[] = {
        {"COM port that is not there", failed("COM5", "/dev/ttyS4", open_step::open, ENOENT),
         "COM5 is /dev/ttyS4 on this system.\n/dev/ttyS4 does not exist.\n" + LIST_PORTS},
        {"line without a port", failed("COM4", "/dev/ttyS3", open_step::open, ENXIO, chr | 0660),
         "COM4 is /dev/ttyS3 on this system.\nThere is no serial port behind /dev/ttyS3 (" +
             reason(ENXIO) + ").\n" + LIST_PORTS},
        {"line without a UART", failed(usb, usb, open_step::open, EIO, chr | 0660),
         "There is no serial port behind /dev/ttyUSB0 (" + reason(EIO) + ").\n" + LIST_PORTS},
        {"a plain file", failed("/tmp/x", "/tmp/x", open_step::exclusive, ENOTTY, S_IFREG | 0644),
         "/tmp/x is not a serial port (" + reason(ENOTTY) + ").\n" + LIST_PORTS},
        {"group may use it",
         failed(usb, usb, open_step::open, EACCES, chr | 0660, "root", "dialout"),
         "You may not open /dev/ttyUSB0 (" + reason(EACCES) +
             ").\n/dev/ttyUSB0 belongs to group dialout (mode crw-rw----); add yourself with: "
             "sudo usermod -aG dialout $USER, then log in again.\n"},
        {"added to the group, not yet logged in again",
         failed(usb, usb, open_step::open, EACCES, chr | 0660, "root", "uucp",
                group_membership::after_login),
         "You may not open /dev/ttyUSB0 (" + reason(EACCES) +
             ").\n/dev/ttyUSB0 belongs to group uucp (mode crw-rw----); you were added to uucp "
             "after this session began: log out and in again.\n"},
        {"in the group, refused all the same",
         failed(usb, usb, open_step::open, EPERM, chr | 0660, "root", "dialout",
                group_membership::yes),
         "You may not open /dev/ttyUSB0 (" + reason(EPERM) +
             ").\n/dev/ttyUSB0 belongs to group dialout (mode crw-rw----) and you are in that "
             "group; something else refuses it (an access control list or a security policy): "
             "ask an administrator.\n"},
        {"group may only read",
         failed(usb, usb, open_step::open, EACCES, chr | 0640, "alice", "dialout"),
         "You may not open /dev/ttyUSB0 (" + reason(EACCES) +
             ").\n/dev/ttyUSB0 belongs to user alice (mode crw-r-----) and its group may not use "
             "it; run korvin as alice or root, or ask an administrator to let a group use the "
             "port.\n"},
        {"root's alone", failed("COM1", "/dev/ttyS0", open_step::open, EACCES, chr | 0600, "root"),
         "COM1 is /dev/ttyS0 on this system.\nYou may not open /dev/ttyS0 (" + reason(EACCES) +
             ").\n/dev/ttyS0 belongs to user root (mode crw-------) and its group may not use it; "
             "run korvin as root, or ask an administrator to let a group use the port.\n"},
        {"a folder on the way", failed("/srv/x/tty", "/srv/x/tty", open_step::open, EACCES),
         "You may not open /srv/x/tty (" + reason(EACCES) +
             ").\nA folder above it keeps you out: check the folders' permissions.\n"},
        {"held by one program",
         failed(usb, usb, open_step::open, EBUSY, chr | 0660, "root", "dialout",
                group_membership::yes, {{4242, "minicom"}}),
         "/dev/ttyUSB0 is in use by minicom (process 4242); close that program and try "
         "again.\n"},
        {"locked by two",
         failed(usb, usb, open_step::lock, EWOULDBLOCK, chr | 0660, "root", "dialout",
                group_membership::yes, {{17, "korvin"}, {901, ""}}),
         "/dev/ttyUSB0 is in use by korvin (process 17) and a program (process 901); close "
         "those programs and try again.\n"},
        {"held, holders hidden", failed(usb, usb, open_step::open, EBUSY, chr | 0660),
         "/dev/ttyUSB0 is in use by another program; close it and try again.\n"},
        {"anything else", failed(usb, usb, open_step::open, ELOOP),
         "Opening /dev/ttyUSB0 failed: " + reason(ELOOP) + ".\n"},
        {"COM0", failed("COM0", "/dev/ttyS-1", open_step::open, ENOENT),
         "COM ports count from 1: there is no COM0.\n" + LIST_PORTS},
        {"below COM0", failed("COM-2", "/dev/ttyS-3", open_step::open, ENOENT),
         "COM ports count from 1: there is no COM-2.\n" + LIST_PORTS},
        {"COM10 is no COM0", failed("COM10", "/dev/ttyS9", open_step::open, ENOENT),
         "COM10 is /dev/ttyS9 on this system.\n/dev/ttyS9 does not exist.\n" + LIST_PORTS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(explain_open_failure(c.failure), c.expected) << c.what;
}

TEST(SerialOpenExplanation, WindowsCausesAndTheSystemsText) {
    struct windows_case {
        unsigned long error;
        std::string system_text, expected;
    } const cases[] = {
        {2, "The system cannot find the file specified.\r\n",
         "COM7 does not exist on this system.\n" + LIST_PORTS},
        {5, "Access is denied.\r\n",
         "COM7 is in use by another program (Windows reports an open port as access denied); "
         "close that program and try again.\n"},
        {121, "The semaphore timeout period has expired.\r\n",
         "Opening COM7 failed (error 121): The semaphore timeout period has expired.\n"},
        {31, "A device attached to the system is not functioning", // no final stop
         "Opening COM7 failed (error 31): A device attached to the system is not functioning.\n"},
        {1234567, "", "Opening COM7 failed (error 1234567): no text for it.\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(explain_windows_open_failure("COM7", c.error, c.system_text), c.expected)
            << c.error;
    EXPECT_EQ(explain_windows_open_failure("COM0", 2, ""),
              "COM ports count from 1: there is no COM0.\n" + LIST_PORTS);
}

// A pseudo-terminal pair: a real terminal device, with the slave's path.
struct pty_pair {
    pty_pair() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ptsname(master);
    }
    ~pty_pair() {
        if (master >= 0)
            close(master);
    }
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;
    int master = -1;
    std::string slave;
};

// The first line is the one korvin has always printed; the explanation is
// separate and comes only when asked for.
std::string open_failure_stderr(const std::string& path, int* opened) {
    testing::internal::CaptureStderr();
    *opened = serial_open_path(path);
    return testing::internal::GetCapturedStderr();
}

TEST(SerialOpenExplanation, AMissingNodeSuggestsTheListAndASuccessClearsIt) {
    const std::string path = "/tmp/korvin-no-such-port-" + std::to_string(getpid());
    int opened = -1;
    EXPECT_EQ(open_failure_stderr(path, &opened), "Could not open serial port " + path + ".\n");
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(serial_open_explanation(), path + " does not exist.\n" + LIST_PORTS);

    pty_pair pty;
    ASSERT_FALSE(pty.slave.empty());
    ASSERT_EQ(serial_open_path(pty.slave), 1);
    EXPECT_EQ(serial_open_explanation(), "");
    serial_close();
}

// This process's descriptors open on `path`.
int descriptors_on(const std::string& path) {
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator fd("/proc/self/fd", ec), end; !ec && fd != end;
         fd.increment(ec))
        count += std::filesystem::read_symlink(fd->path(), ec) == path;
    return count;
}

TEST(SerialOpen, OpeningAgainClosesThePortOpenedBefore) {
    pty_pair first, second;
    ASSERT_FALSE(first.slave.empty() || second.slave.empty());
    ASSERT_EQ(serial_open_path(first.slave), 1);
    if (descriptors_on(first.slave) != 1)
        GTEST_SKIP() << "no /proc/self/fd here to see the descriptors";
    ASSERT_EQ(serial_open_path(second.slave), 1);
    EXPECT_EQ(descriptors_on(first.slave), 0);
    EXPECT_EQ(descriptors_on(second.slave), 1);
    serial_close();
}

TEST(SerialOpenExplanation, AComPortNamesItsDevice) {
    // A line number no machine has a node for.
    const int number = 4000;
    const std::string device = "/dev/ttyS" + std::to_string(number - 1);
    struct stat st {};
    if (stat(device.c_str(), &st) == 0)
        GTEST_SKIP() << device << " exists here";
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_open(number), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open serial port COM4000.\n");
    EXPECT_EQ(serial_open_explanation(), "COM4000 is " + device + " on this system.\n" + device +
                                             " does not exist.\n" + LIST_PORTS);
}

// A child that holds `path` as a second korvin would (TIOCEXCL and the
// lock), under a program name of its own, until it is killed.
pid_t start_holder(const std::string& path, const char* program) {
    int ready_pipe[2];
    if (pipe(ready_pipe) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready_pipe[0]);
        prctl(PR_SET_NAME, program);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char ok = fd >= 0 && ioctl(fd, TIOCEXCL) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (write(ready_pipe[1], &ok, 1) != 1 || !ok)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready_pipe[1]);
    char ok = 0;
    const bool held = pid > 0 && read(ready_pipe[0], &ok, 1) == 1 && ok;
    close(ready_pipe[0]);
    if (pid > 0 && !held) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

TEST(SerialOpenExplanation, APortHeldByAnotherProcessNamesItsProgramAndPid) {
    struct stat proc {};
    if (stat("/proc/self/fd", &proc) != 0)
        GTEST_SKIP() << "no /proc here: the holder cannot be found";
    pty_pair pty;
    ASSERT_FALSE(pty.slave.empty());
    // A stable name such as udev's /dev/serial/by-id links: the holder is
    // found by the device, whichever name either side opened.
    const std::string link = "/tmp/korvin-pty-link-" + std::to_string(getpid());
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);

    struct holder_case {
        const char* what;
        std::string held, opened;
    };
    const holder_case cases[] = {
        {"the same node", pty.slave, pty.slave},
        {"held by its node, opened by a link", pty.slave, link},
        {"held by a link, opened by its node", link, pty.slave},
    };
    // This process has the device open too; it is no holder to name.
    const int own = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(own, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const pid_t holder = start_holder(c.held, "korvin-holder");
        ASSERT_GT(holder, 0);
        int opened = -1;
        EXPECT_EQ(open_failure_stderr(c.opened, &opened),
                  "Could not open serial port " + c.opened + ".\n");
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(serial_open_explanation(), c.opened + " is in use by korvin-holder (process " +
                                                 std::to_string(holder) +
                                                 "); close that program and try again.\n");
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        ioctl(own, TIOCNXCL); // the terminal stays exclusive while open
    }
    close(own);
    unlink(link.c_str());
}

// What serial_open_explanation() says to a user `uid` outside the device's
// group, opening `path` in a child that has dropped root.
std::string explanation_as_user(const std::string& path, uid_t uid, gid_t gid) {
    int out[2];
    if (pipe(out) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2); // the "Could not open" line is not what is checked here
        std::string text;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            text = "could not become the user";
        else if (serial_open_path(path) != 0)
            text = "opened";
        else
            text = serial_open_explanation();
        const ssize_t n = write(out[1], text.data(), text.size());
        _exit(n == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

TEST(SerialOpenExplanation, APortOfAnotherUserNamesItsGroupOrOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a port to another user takes root";
    const passwd* nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody to open the port as";
    const uid_t user = nobody->pw_uid;
    const gid_t user_group = nobody->pw_gid;
    // The device's owner and group: neither is the user opening it.
    const uid_t owner = 1;
    const gid_t owner_group = 20;
    const passwd* pw = getpwuid(owner);
    const std::string owner_name = pw ? pw->pw_name : std::to_string(owner);
    const group* gr = getgrgid(owner_group);
    const std::string group_name = gr ? gr->gr_name : std::to_string(owner_group);

    struct permission_case {
        mode_t mode;
        std::string expected_tail; // after "You may not open ..."
    };
    pty_pair pty;
    ASSERT_FALSE(pty.slave.empty());
    const permission_case cases[] = {
        {0600, pty.slave + " belongs to user " + owner_name +
                   " (mode crw-------) and its group may not use it; run korvin as " + owner_name +
                   " or root, or ask an administrator to let a group use the port.\n"},
        {0660, pty.slave + " belongs to group " + group_name +
                   " (mode crw-rw----); add yourself with: sudo usermod -aG " + group_name +
                   " $USER, then log in again.\n"},
    };
    if (chown(pty.slave.c_str(), owner, owner_group) != 0)
        GTEST_SKIP() << "chown refused: " << std::strerror(errno);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(chmod(pty.slave.c_str(), c.mode), 0);
        EXPECT_EQ(explanation_as_user(pty.slave, user, user_group),
                  "You may not open " + pty.slave + " (" + reason(EACCES) + ").\n" +
                      c.expected_tail);
    }
}

} // namespace
} // namespace korvin
