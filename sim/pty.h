#pragma once
// The board's end of the serial cable: a pseudo-terminal master in raw mode.
#include <string>

namespace korvin::sim {

class pty {
  public:
    pty() = default;
    ~pty();
    pty(const pty&) = delete;
    pty& operator=(const pty&) = delete;

    // Opens the master (non-blocking) and sets the line raw; false with `error` set on failure.
    bool open(std::string& error);
    // A symlink `path` -> the slave, removed again by close() and the destructor.
    bool link(const std::string& path, std::string& error);
    void close();

    int fd() const { return fd_; }
    const std::string& slave_path() const { return slave_; }

  private:
    int fd_ = -1;
    std::string slave_, link_;
};

} // namespace korvin::sim
