#include "monitor_client.h"

#include "process.h"

#include <stdexcept>

namespace korvin::test {

char monitor_client::boot(const std::string& image) {
    if (!line_.boot(image))
        throw std::runtime_error(line_.error());
    return line_.read_byte(std::chrono::seconds(10));
}

answer monitor_client::command(char byte, std::chrono::seconds timeout) {
    line_.send(std::string(1, byte));
    answer a;
    for (char c; (c = line_.read_byte(timeout)) != ':';)
        a.trace += c;
    for (char c; (c = line_.read_byte(timeout)) != '?';)
        a.code += c;
    return a;
}

std::string boot_image() {
    return read_file(bin("boot.bin"));
}

std::vector<std::string> trace_lines(const std::string& trace) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = trace.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(trace.substr(start, end - start));
    if (start < trace.size())
        lines.push_back(trace.substr(start));
    return lines;
}

} // namespace korvin::test
