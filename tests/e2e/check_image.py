#!/usr/bin/env python3
"""Checks the linked boot image against the rules the board relies on:
entry first, flag words right after the downloaded bytes, ARM code only,
and no instruction that would merge, widen or split a device access."""
import os
import re
import subprocess
import sys

LOAD = 0xFFFF4C00


def main(objdump, nm, elf, binary):
    problems = []
    length = os.path.getsize(binary)
    if length % 4:
        problems.append(f"length {length} is not a multiple of 4")

    symbols = {}
    for line in subprocess.run([nm, elf], capture_output=True, text=True, check=True).stdout.splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = (int(parts[0], 16), parts[1])
        if len(parts) == 2 and parts[0] == "U":
            problems.append(f"undefined symbol {parts[1]}")
        elif len(parts) == 3 and parts[1] in "bBdDgGsSC":
            problems.append(f"static data {parts[2]} ({parts[1]})")
    for name, offset in (("monitor_entry", 0), ("output_enabled", length), ("line_delay", length + 4)):
        got = symbols.get(name, (None,))[0]
        if got != LOAD + offset:
            problems.append(f"{name} at {got and hex(got)}, expected {hex(LOAD + offset)}")

    text = subprocess.run([objdump, "-d", elf], capture_output=True, text=True, check=True).stdout
    insn = re.compile(r"^\s*([0-9a-f]+):\s+([0-9a-f]+)\s+(\S+)\s*(.*)$")
    listing = []
    for line in text.splitlines():
        m = insn.match(line)
        if m:
            listing.append((int(m.group(1), 16), m.group(2), m.group(3), m.group(4)))
    if not listing or listing[0][0] != LOAD:
        problems.append("the image does not start at the load address")
    else:
        end = listing[-1][0] + 4
        if end != LOAD + length:
            problems.append(f"code ends at {hex(end)}, the raw image at {hex(LOAD + length)}")
        if listing[0][2:] != ("mvn", "sp, #3") or listing[1][2] != "bl" or "<monitor_loop>" not in listing[1][3]:
            problems.append(f"entry is not 'sp = 0xfffffffc; bl monitor_loop': {listing[:2]}")

    for address, word, op, args in listing:
        where = f"{address:08x}: {op} {args}"
        if len(word) != 8:
            problems.append(f"Thumb instruction {where}")
        base = op.rstrip("s")
        if re.match(r"^(ldm|stm)", base) and not args.startswith("sp"):
            problems.append(f"multiple load/store not on the stack {where}")
        if re.match(r"^(ldrd|strd|swp|ldrex|strex)", op):
            problems.append(f"doubleword or atomic access {where}")
        if re.match(r"^(mrc|mcr|msr|mrs|cps|cdp|ldc|stc)", op):
            problems.append(f"coprocessor or mode access {where}")
        pool = re.search(r"\[pc, #-?\d+\]\s+@ ([0-9a-f]+)", args)
        if pool and not LOAD <= int(pool.group(1), 16) < LOAD + length:
            problems.append(f"literal outside the image {where}")
        if op.startswith("blx") and not re.match(r"^(r\d+|sl|fp|ip|lr)$", args):
            problems.append(f"switch to Thumb {where}")

    for p in problems:
        print("boot image:", p)
    print(f"boot image: {length} bytes, {len(listing)} words checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
