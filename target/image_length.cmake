# Prints the boot image's length: the download sends exactly these bytes.
file(SIZE ${IMAGE} length)
math(EXPR hex "${length}" OUTPUT_FORMAT HEXADECIMAL)
message(STATUS "boot.bin: ${length} bytes (${hex})")
