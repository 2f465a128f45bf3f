# Prints the boot image's length: the download sends exactly these bytes.
file(SIZE ${IMAGE} length)
math(EXPR hex "${length}" OUTPUT_FORMAT HEXADECIMAL)
get_filename_component(name ${IMAGE} NAME)
message(STATUS "${name}: ${length} bytes (${hex})")
