#include "poke_client.h"

#include "process.h"

#include <stdexcept>

namespace korvin::test {

std::string program(const std::string& name) {
    const std::string bytes = read_file(std::string(KORVIN_SIM_PROGRAMS) + "/" + name + ".bin");
    if (bytes.empty())
        throw std::runtime_error("test program " + name + " missing");
    return bytes;
}

namespace {

std::string field(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

char command(unsigned bits, bool write) {
    const char c = bits == 8 ? 'b' : bits == 16 ? 'h' : 'w';
    return write ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::optional<uint32_t> poke_client::peek(unsigned bits, uint32_t address) {
    line_.send(std::string(1, command(bits, false)) + field(address));
    const std::string r = line_.receive(4);
    if (r.size() != 4)
        return std::nullopt;
    return le32(r);
}

bool poke_client::poke(unsigned bits, uint32_t address, uint32_t value) {
    line_.send(std::string(1, command(bits, true)) + field(address) + field(value));
    return line_.receive(1) == ".";
}

std::optional<uint32_t> poke_client::poll16(uint32_t address, uint32_t mask, uint32_t want) {
    line_.send("p" + field(address) + field(mask) + field(want));
    const std::string r = line_.receive(4, 10000ms);
    if (r.size() != 4)
        return std::nullopt;
    return le32(r);
}

void poke_client::spin() {
    line_.send("x" + field(0));
}

void poke_client::jump(uint32_t address) {
    line_.send("j" + field(address));
}

} // namespace korvin::test
