# Turns a text file into a C++ source defining
#   extern const char NAME[];  extern const unsigned long NAME_size;
# (the bytes, with a terminating 0 not counted in the size), so the programs
# carry their data and depend on no path at run time.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=symbol -P embed_text.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REPEAT "[0-9a-f]" 32 line_of_16)
string(REGEX REPLACE "(${line_of_16})" "\\1\n" bytes "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by scripts/embed_text.cmake; do not edit.\n"
  "namespace vesk {\n"
  "extern const char ${NAME}[];\n"
  "extern const unsigned long ${NAME}_size;\n"
  "const char ${NAME}[] = {\n${bytes}'\\0'};\n"
  "const unsigned long ${NAME}_size = ${size};\n"
  "}  // namespace vesk\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
