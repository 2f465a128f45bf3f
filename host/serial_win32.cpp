// The serial link on the Windows communications interface (KERNEL32).
#include "open_failure.h"
#include "processes.h"
#include "serial.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvin {

namespace {

HANDLE port_handle = INVALID_HANDLE_VALUE;
std::string port_name;
bool read_failed = false;
std::string open_explanation;
constexpr DWORD WAIT_SLICE_MS = 500;

int open_device(const std::string& device, const std::string& name) {
    serial_close(); // there is one port: the one open before is let go
    port_name = name;
    read_failed = false;
    open_explanation.clear();
    port_handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError(); // before anything else can change it
        std::fprintf(stderr, "Could not open serial port %s.\n", port_name.c_str());
        open_explanation = explain_windows_open_failure(name, error, windows_error_text(error));
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
        if (stop_requested())
            break; // a stop request (--events) ends even a read without limit
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
    if (port_handle != INVALID_HANDLE_VALUE)
        CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

void pause_10ms() {
    Sleep(10);
}

} // namespace korvin
