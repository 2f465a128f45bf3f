#pragma once
// Plays the host over korvin-sim's pseudo-terminal: the boot ROM download of
// the real boot image, then the monitor's byte protocol, so that tests see
// every byte the monitor sends (result codes included, which korvin reduces
// to passed/failed).
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvin::test {

struct Answer {
    std::string trace; // everything between the command byte and ':'
    std::string code;  // the result digits up to the next prompt
};

class Board {
  public:
    explicit Board(const std::string& port);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Downloads `image` through the boot ROM and returns the monitor's first
    // byte (the prompt, when all is well).
    char boot(const std::string& image);
    // Sends one command byte after a prompt and reads the answer up to and
    // including the next prompt.
    Answer command(char byte, std::chrono::seconds timeout = std::chrono::seconds(300));

  private:
    void send(const std::string& bytes);
    // Reads one byte; throws on time-out or when the link goes down.
    char read_byte(std::chrono::milliseconds timeout);
    uint32_t read_status(bool until_silence);
    int fd_ = -1;
};

// The real boot image, as the build left it.
std::string boot_image();

// Splits trace text at CR LF; a trailing piece without CR LF is kept as a
// line of its own so that a broken line end shows up in a comparison.
std::vector<std::string> trace_lines(const std::string& trace);

} // namespace korvin::test
