#pragma once
// One analyser per test routine of the monitor: each reads the records of its
// part of the trace and names what they prove about the board's lines.
#include "memory_layout.h"
#include "text.h"
#include "trace.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// The writes, reads and mismatches of one test routine, in order.
// A FLASH program that never completed shows as a poll time-out record among
// them, in place of its write line.
struct trace_section {
    std::vector<trace_record> records;
    int mismatches = 0;
    bool present = false;   // its header was in the trace
    std::uint32_t size = 0; // the address-line test's size in bytes, from its header
};

// The trace split by routine, with the FLASH test's own lines.
struct parsed_test {
    trace_section data, address;
    int total_mismatches = 0;
    bool have_manufacturer = false, have_device = false;
    std::uint32_t manufacturer = 0, device = 0;
    bool timed_out = false, timeout_in_erase = false;
    std::uint32_t timeout_address = 0;
};

parsed_test split_trace(const std::vector<trace_record>& records);

struct data_bus_result {
    std::vector<std::string> findings;
    std::uint32_t faulty_bits = 0; // the data lines named
};

// Data lines stuck, shorted or reading wrong, and units that alias.
data_bus_result analyse_data_bus(const trace_section& section, const memory_layout& layout);

// Address lines that moved writes; mismatches the data lines already explain.
std::vector<std::string> analyse_address_lines(const trace_section& section,
                                               const memory_layout& layout,
                                               std::uint32_t faulty_data_bits);

// The SDRAM's address-line mismatches by its multiplexed address and bank pins; mismatches the
// data lines explain as analyse_address_lines gives them.
std::vector<std::string> analyse_sdram_address(const parsed_test& test, const memory_layout& layout,
                                               std::uint32_t faulty_data_bits);

struct net_result {
    std::vector<std::string> findings;
    bool settled = false; // they explain the trace: no data or address line is to be named
};

// Control lines and byte lanes, from both routines' loads together: chips that never drive
// the data lines, a lane never written nor driven, an SRAM no store reaches, an SDRAM whose
// loads are noise (its start-up spoiled), a FLASH whose identification reads back the
// autoselect command.
net_result analyse_nets(const parsed_test& test, const memory_layout& layout);

// A wrong identification code, with what explains the difference.
std::vector<std::string> analyse_flash_identification(const parsed_test& test,
                                                      std::uint32_t result_code,
                                                      std::uint32_t faulty_data_bits);

// A program or erase the chip never completed.
std::vector<std::string> analyse_flash_completion(const parsed_test& test,
                                                  std::uint32_t result_code);

} // namespace korvin
