#include "explain.h"

namespace korvin {
namespace {

// The status a boot ROM sends when the chip's security fuses are set: it then
// runs only signed images.
const std::string SECURE_STATUS("\x12\x34\x34\x12", 4);

bool monitor_byte(unsigned char c) {
    return c == ':' || c == '?' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

const char* const SECURE_TEXT =
    "The boot ROM answered 12 34 34 12: the chip is in secure (production) mode and runs only\n"
    "signed images, which korvin's boot image is not. Test the board before its security\n"
    "fuses are set.\n";

} // namespace

line_behaviour classify_answer(const std::string& sent, const std::string& answer) {
    if (answer.empty())
        return line_behaviour::unknown;
    if (ends_with(answer, SECURE_STATUS))
        return line_behaviour::secure;
    bool echo = !sent.empty();
    bool monitor = answer.find(':') != std::string::npos;
    for (std::size_t i = 0; i < answer.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(answer[i]);
        echo = echo && answer[i] == sent[i % sent.size()];
        monitor = monitor && monitor_byte(c);
    }
    if (echo)
        return line_behaviour::echo;
    // An idle monitor takes every byte as a command it does not know and
    // answers each with ':', the result 0 and its next prompt '?'.
    if (monitor)
        return line_behaviour::monitor;
    return line_behaviour::other;
}

void wake_observation::record(const std::string& sent, const std::string& answer) {
    ++requests;
    if (answer.empty()) {
        ++silent_in_a_row;
        if (silent_in_a_row >= SILENT_REQUESTS && behaviour == line_behaviour::unknown)
            behaviour = line_behaviour::silent;
        return;
    }
    silent_in_a_row = 0;
    first_answer = answer.substr(0, 64);
    behaviour = classify_answer(sent, answer);
}

std::string explain_wake(const wake_observation& seen) {
    switch (seen.behaviour) {
    case line_behaviour::unknown:
        return "";
    case line_behaviour::silent:
        return "Nothing came back to korvin's status requests: check that the board has power,\n"
               "that the cable leads to its UART1, and that its boot-mode pins select serial "
               "boot;\n"
               "then reset it.\n";
    case line_behaviour::echo:
        return "The line sends back what korvin sends: a loopback plug, a terminal program or a "
               "modem\n"
               "echoes it, not the board's boot ROM. Check which port the board is on (korvin\n"
               "--list-ports) and that no other program uses it.\n";
    case line_behaviour::monitor:
        return "The board answers every byte with ':', a result digit and '?': it still runs the\n"
               "monitor of an earlier korvin run. Reset it into serial boot mode (boot-mode pins "
               "set,\n"
               "then reset or power cycle) and run korvin again.\n";
    case line_behaviour::secure:
        return SECURE_TEXT;
    case line_behaviour::other:
        return "The line sends bytes a boot ROM does not send, first " +
               hex_bytes(seen.first_answer) +
               ":\n"
               "another device is on this port, or the line runs at another baud rate than\n"
               "korvin's 115200 8N1. Check the port and the settings of any adapter in between.\n";
    }
    return "";
}

std::string explain_refusal(bool start, const std::string& answer) {
    if (answer == SECURE_STATUS)
        return SECURE_TEXT;
    if (answer.empty()) {
        if (start)
            return "The image went out, but the board confirmed nothing within a second: the boot "
                   "ROM\n"
                   "lost bytes of it, or the board was reset. Reset it into serial boot mode and "
                   "try\n"
                   "again.\n";
        return "The boot ROM had answered, but sent nothing within a second of the download "
               "command:\n"
               "the board was reset or lost power, or the line lost the command. Reset it into "
               "serial\n"
               "boot mode and try again.\n";
    }
    if (answer.size() < 4)
        return "The board sent only " + count_of(answer.size(), "byte", "bytes") + " (" +
               hex_bytes(answer) +
               ") where the boot ROM answers with four: bytes are lost\n"
               "on the line (a loose cable or connector, or an adapter at another baud rate).\n";
    if (start)
        return "The board answered " + hex_bytes(answer) +
               " instead of 88 88 88 88 (image started): the boot ROM did\n"
               "not start the image; bytes of it may have been lost or changed on the line.\n";
    return "The board answered " + hex_bytes(answer) +
           " instead of 56 78 78 56 (ready): the boot ROM did not\n"
           "accept the download command.\n";
}

} // namespace korvin
