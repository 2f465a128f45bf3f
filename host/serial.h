#pragma once
// The serial link: one process-wide port, moved one byte at a time.
// serial_posix.cpp (termios, Linux) and serial_win32.cpp (KERNEL32) implement it;
// serial.cpp holds what the two share.
#include <cstdint>
#include <string>

namespace korvin {

// The name the messages show for port number n: "COM%d".
std::string com_port_name(std::int32_t port_number);

// Opens COMn (on Linux /dev/ttyS<n-1>) for exclusive use. On failure
// prints "Could not open serial port COMn.\n" to standard error; returns 1/0.
int serial_open(std::int32_t port_number);
// Opens the device at `path` for exclusive use; failures name the path.
int serial_open_path(const std::string& path);
// The device a bare name given to -p stands for, or "" when the name is no
// device name on this system: on Linux "ttyUSB0" is /dev/ttyUSB0.
std::string serial_device_path(const std::string& name);
// The name of the port as the messages show it (COMn or the path).
const std::string& serial_port_name();

// After a failed serial_open/serial_open_path: what was tried, the system's reason and the next
// step, in a sentence or two a technician understands; one or more lines each ended by '\n'. ""
// when the last open succeeded.
std::string serial_open_explanation();

// Discards pending input and output, then sets baud_rate, 8N1, raw, with no
// flow control and DTR/RTS off. Nonzero when the line settings were accepted.
int serial_configure(std::uint32_t baud_rate);

// Nonzero when the system took the byte (the low 8 bits of `byte`).
int serial_write_byte(unsigned byte);

// Reads one byte, waiting at most timeout_ms (0: without limit). Returns the
// byte, or 0 with *missed set when nothing was read (time-out or failure).
unsigned serial_read_byte(std::uint32_t timeout_ms, bool* missed = nullptr);

// Set once a read has failed outright (device gone, hang-up), as opposed to
// timing out; from then on the link is dead and the run must end.
bool serial_failed();

void serial_close();

// Returns after 10 ms: the download's pacing between bytes.
void pause_10ms();

} // namespace korvin
