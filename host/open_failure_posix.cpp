// What a Linux machine shows of a port that would not open: the node, its
// owner and group, the user's groups, and the processes that hold it.
#include "open_failure.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace korvin {

namespace {

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

} // namespace

// What the system shows of the device right after the failure.
open_failure examine_open_failure(const std::string& port, const std::string& device,
                                  open_step step, int error) {
    open_failure f;
    f.port = port;
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

std::string explain_open_failure(const open_failure& f) {
    static const std::string LIST_PORTS =
        "Run korvin --list-ports to see the serial ports this machine has.\n";
    const std::string& device = f.device;
    const int e = f.error;
    const std::string reason = std::strerror(e);
    const std::string numbering = explain_com_number(f.port);
    if (!numbering.empty())
        return numbering; // not "COM0 is /dev/ttyS-1"
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

} // namespace korvin
