# cmake -DINPUT=boot.bin -DOUTPUT=boot_image.cpp -P embed.cmake
# Turns the raw boot image into a constant byte array with its length, and
# writes boot_image.h, which declares them, beside it.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
    message(FATAL_ERROR "boot image ${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT}; do not edit.
#include \"boot_image.h\"

namespace korvin {

const unsigned char boot_image[] = {
    ${bytes}
};
const std::size_t boot_image_size = sizeof boot_image;
static_assert(sizeof boot_image == ${size}, \"boot image length\");

} // namespace korvin
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(WRITE ${OUTPUT}.tmp
"// Generated; do not edit. The boot image the host downloads on every run:
// the raw ARM code of the target monitor, from the target build's boot.bin.
#pragma once
#include <cstddef>

namespace korvin {

extern const unsigned char boot_image[];
extern const std::size_t boot_image_size;

} // namespace korvin
")
file(COPY_FILE ${OUTPUT}.tmp ${folder}/boot_image.h ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
message(STATUS "Boot image: ${size} bytes")
