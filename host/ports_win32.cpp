// The serial ports of a Windows machine, from the registry's device map, the
// DOS device names and SetupAPI's ports class.
#include "ports.h"
#include "serial.h"

#include <windows.h>

#include <setupapi.h>

#include <cstring>
#include <map>

namespace korvin {

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
