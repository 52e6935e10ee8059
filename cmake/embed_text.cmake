# cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<variable> -P embed_text.cmake
# Writes a header defining `inline constexpr char NAME[]` with the file's text.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n#pragma once\n"
  "inline constexpr char ${NAME}[] = {${bytes} '\\0'};\n")
