# cmake -DOUTPUT=file.h -DINPUTS="name=file|name=file" -P embed.cmake
# Writes each file as a byte array named after it, for images built into the
# program.
set(text "// Generated from the drawn images; do not edit.\n#pragma once\n#include <cstddef>\n\n")
string(REPLACE "|" ";" inputs "${INPUTS}")
foreach(pair IN LISTS inputs)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND text "inline constexpr unsigned char ${name}[] = {\n    ${bytes}\n};\n")
  string(APPEND text "inline constexpr std::size_t ${name}Size = ${size};\n\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
