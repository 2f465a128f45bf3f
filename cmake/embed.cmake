# cmake -DINPUT=boot.bin -DOUTPUT=boot_image.cpp [-DNAME=boot_image] -P embed.cmake
# Turns the raw boot image into a constant byte array NAME with its length
# NAME_size, and writes NAME.h, which declares them, beside it.
if(NOT NAME)
    set(NAME boot_image)
endif()
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
#include \"${NAME}.h\"

namespace korvin {

const unsigned char ${NAME}[] = {
    ${bytes}
};
const std::size_t ${NAME}_size = sizeof ${NAME};
static_assert(sizeof ${NAME} == ${size}, \"boot image length\");

} // namespace korvin
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(WRITE ${OUTPUT}.tmp
"// Generated; do not edit. A boot image the host downloads: the raw ARM code
// of the target monitor, from the target build's ${INPUT}.
#pragma once
#include <cstddef>

namespace korvin {

extern const unsigned char ${NAME}[];
extern const std::size_t ${NAME}_size;

} // namespace korvin
")
file(COPY_FILE ${OUTPUT}.tmp ${folder}/${NAME}.h ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
message(STATUS "${NAME}: ${size} bytes")
