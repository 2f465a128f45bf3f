# cmake -DINPUT=boot.bin -DOUTPUT=boot_image.cpp -P embed.cmake
# Turns the raw boot image into a constant byte array with its length.
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
file(REMOVE ${OUTPUT}.tmp)
message(STATUS "Boot image: ${size} bytes")
