// The serial link on the Windows communications interface (KERNEL32).
#include "serial.h"
#include "serial_common.h"

#include <windows.h>

#include <algorithm>

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace korvin {

namespace {

HANDLE port_handle = INVALID_HANDLE_VALUE;
std::string port_name;
bool read_failed = false;
std::string open_explanation;
constexpr DWORD WAIT_SLICE_MS = 500;

// The system's own text for an error code, in the user's language.
std::string system_text(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length != 0 && text ? std::string(text, length) : std::string();
    LocalFree(text);
    return result;
}

int open_device(const std::string& device, const std::string& name) {
    port_name = name;
    read_failed = false;
    open_explanation.clear();
    port_handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError(); // before anything else can change it
        std::fprintf(stderr, "Could not open serial port %s.\n", port_name.c_str());
        open_explanation = explain_windows_open_failure(name, error, system_text(error));
        return 0;
    }
    return 1;
}

// A device that has gone away (an unplugged adapter; under Wine a terminal
// whose other end closed) need not fail the read: the read may just time out,
// or without a time-out never return. A live port always reports its status.
bool device_gone() {
    DWORD errors = 0;
    COMSTAT status{};
    return !ClearCommError(port_handle, &errors, &status);
}

} // namespace

int serial_open(std::int32_t port_number) {
    const std::string name = com_port_name(port_number);
    // COM1 to COM9 are known by their plain names; from COM10 on only the
    // device namespace finds them.
    return open_device(port_number >= 10 ? "\\\\.\\" + name : name, name);
}

int serial_open_path(const std::string& path) {
    return open_device(path, path);
}

std::string serial_device_path(const std::string&) {
    // Windows names its ports COMn, which -p takes as numbers.
    return "";
}

const std::string& serial_port_name() {
    return port_name;
}

std::string serial_open_explanation() {
    return open_explanation;
}

int serial_configure(std::uint32_t baud_rate) {
    PurgeComm(port_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb); // the reserved fields too
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud_rate;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    return SetCommState(port_handle, &dcb) ? 1 : 0;
}

int serial_write_byte(unsigned byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    DWORD written = 0;
    return WriteFile(port_handle, &b, 1, &written, nullptr) ? 1 : 0;
}

unsigned serial_read_byte(std::uint32_t timeout_ms, bool* missed) {
    if (missed)
        *missed = false;
    // Every read waits in slices, so that a vanished device is noticed
    // between them instead of blocking the read for ever, or for as long as
    // a long time-out lasts.
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        DWORD slice = WAIT_SLICE_MS;
        if (timeout_ms != 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break; // timed out
            slice = static_cast<DWORD>(std::min<ULONGLONG>(WAIT_SLICE_MS, deadline - now));
        }
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = slice;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        SetCommTimeouts(port_handle, &timeouts);
        unsigned char b = 0;
        DWORD count = 0;
        const BOOL ok = ReadFile(port_handle, &b, 1, &count, nullptr);
        if (ok && count == 1)
            return b;
        if (!ok || device_gone()) {
            read_failed = true; // the device is gone, not just quiet
            break;
        }
    }
    if (missed)
        *missed = true;
    return 0;
}

bool serial_failed() {
    return read_failed;
}

void serial_close() {
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

std::string system_host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return "";
    return std::string(name, size);
}

void pause_10ms() {
    Sleep(10);
}

namespace {

// "COM12" -> 12; 0 for any other name.
int com_number(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0')
        return 0;
    int n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 9999)
            return 0;
        n = n * 10 + (*p - '0');
    }
    return n;
}

// The serial drivers' device map: each value names the kernel's device
// ("\Device\Serial0"), its data is the COM name.
void ports_from_device_map(std::map<int, std::string>& ports) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        char device[256];
        DWORD device_size = sizeof device;
        char com[64];
        DWORD com_size = sizeof com - 1;
        DWORD type = 0;
        const LONG r = RegEnumValueA(key, i, device, &device_size, nullptr, &type,
                                     reinterpret_cast<BYTE*>(com), &com_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;         // a name too long for any COM port
        com[com_size] = '\0'; // the data need not end in one
        const int n = com_number(com);
        if (n > 0)
            ports[n] = com_port_name(n) + " (" + device + ")";
    }
    RegCloseKey(key);
}

// The DOS device names: COMn among them is a port, mapped to its device.
void ports_from_dos_devices(std::map<int, std::string>& ports) {
    std::string names(1 << 16, '\0');
    DWORD length;
    while ((length = QueryDosDeviceA(nullptr, &names[0], static_cast<DWORD>(names.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24))
        names.resize(names.size() * 2);
    // A list of strings, each ending in a NUL, the list in another.
    for (std::size_t at = 0; at < length && names[at] != '\0'; at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        const int n = com_number(name);
        if (n <= 0 || ports.count(n) != 0)
            continue;
        char target[1024];
        if (QueryDosDeviceA(name, target, sizeof target) != 0)
            ports[n] = com_port_name(n) + " (" + target + ")";
        else
            ports[n] = com_port_name(n);
    }
}

// Device Manager's names for the ports class ("USB Serial Port (COM3)").
void friendly_names(std::map<int, std::string>& ports) {
    static const GUID PORTS_CLASS = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key =
            SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char com[64];
        DWORD size = sizeof com - 1;
        DWORD type = 0;
        const LONG r =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(com), &size);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        com[size] = '\0';
        const int n = com_number(com); // the class holds the LPT ports too
        char name[256];
        if (n > 0 && ports.count(n) != 0 &&
            SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(name), sizeof name - 1,
                                              nullptr)) {
            name[sizeof name - 1] = '\0';
            ports[n] = name;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

std::vector<serial_port_entry> serial_list_ports() {
    std::map<int, std::string> ports; // COM number -> description, in order
    ports_from_device_map(ports);
    ports_from_dos_devices(ports);
    friendly_names(ports);
    std::vector<serial_port_entry> entries;
    for (const auto& p : ports)
        entries.push_back({std::to_string(p.first), p.second});
    return entries;
}

} // namespace korvin
