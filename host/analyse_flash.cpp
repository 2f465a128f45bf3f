// The FLASH test's own steps: the autoselect codes and the completion polls.
#include "analysers.h"

namespace korvin {
namespace {

// A stuck D7 stops the FLASH test in a completion poll before the data-bus
// test can name it; the identification codes read just before are then the
// only evidence.
std::string d7_hint(std::uint32_t read, std::uint32_t accepted) {
    if ((read ^ accepted) != 0x80)
        return "";
    const bool high = read & 0x80;
    return format("; only D7 differs from 0x%04X (read %d): data line D7 stuck %s, or another part",
                  accepted, high ? 1 : 0, high ? "high" : "low");
}

// What explains a wrong code: only D7 differs, or only lines the data-bus
// test found faulty.
std::string code_hint(std::uint32_t read, std::initializer_list<std::uint32_t> accepted,
                      std::uint32_t faulty_data_bits) {
    // The data-bus test's finding, when it covers the difference, says more
    // than D7 alone: a short of D7 to another line also changes only D7.
    for (std::uint32_t code : accepted)
        if (faulty_data_bits && ((read ^ code) & ~faulty_data_bits) == 0)
            return format("; the data line fault below explains the difference from 0x%04X", code);
    std::string text;
    for (std::uint32_t code : accepted)
        text += d7_hint(read, code);
    return text;
}

} // namespace

std::vector<std::string> analyse_flash_identification(const parsed_test& test,
                                                      std::uint32_t result_code,
                                                      std::uint32_t faulty_data_bits) {
    std::vector<std::string> findings;
    const std::uint32_t maker_a = FLASH_MANUFACTURERS[0], maker_b = FLASH_MANUFACTURERS[1];
    if (test.have_manufacturer && test.manufacturer != maker_a && test.manufacturer != maker_b)
        findings.push_back(
            format("FLASH manufacturer code read 0x%04X, expected 0x%04X or 0x%04X%s",
                   test.manufacturer, maker_a, maker_b,
                   code_hint(test.manufacturer, {maker_b, maker_a}, faulty_data_bits).c_str()));
    else if (!test.have_manufacturer && result_code == FLASH_WRONG_MANUFACTURER)
        findings.push_back(format("FLASH manufacturer code wrong (expected 0x%04X or 0x%04X); the "
                                  "trace does not show the code read",
                                  maker_a, maker_b));
    if (test.have_device && test.device != FLASH_DEVICE)
        findings.push_back(
            format("FLASH device code read 0x%04X, expected 0x%04X%s", test.device, FLASH_DEVICE,
                   code_hint(test.device, {FLASH_DEVICE}, faulty_data_bits).c_str()));
    else if (!test.have_device && result_code == FLASH_WRONG_DEVICE)
        findings.push_back(format(
            "FLASH device code wrong (expected 0x%04X); the trace does not show the code read",
            FLASH_DEVICE));
    return findings;
}

std::vector<std::string> analyse_flash_completion(const parsed_test& test,
                                                  std::uint32_t result_code) {
    if (test.timed_out)
        // A chip whose own verify failed (a cell that will not program or erase) keeps
        // showing status as well: the poll watches DQ7 alone.
        return {format("FLASH did not complete %s at 0x%08x: the chip is absent or dead, D7 is "
                       "stuck, its command cycles do not reach it, or %s",
                       test.timeout_in_erase ? "an erase" : "a program", test.timeout_address,
                       test.timeout_in_erase ? "a cell of that sector will not erase"
                                             : "a cell there will not program")};
    if (result_code == FLASH_NO_RESPONSE)
        return {"FLASH did not complete a program or erase (result code 5); the trace does not "
                "show the polled address"};
    return {};
}

} // namespace korvin
