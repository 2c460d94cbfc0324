# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DNAME=SYMBOL -P EmbedFile.cmake: writes
# FILE's bytes as `extern const char SYMBOL[]` (with a final 0) and
# `SYMBOL_SIZE`, so that a program carries the file inside itself.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n    " bytes "${bytes}")
string(LENGTH "${content}" digits)
math(EXPR size "${digits} / 2")
file(WRITE "${OUTPUT}.new" "// Made from ${NAME}'s source file at build time; not to be edited.\n#include <cstddef>\n\n"
    "extern const char ${NAME}[] = {\n    ${bytes}'\\0'};\nextern const std::size_t ${NAME}_SIZE = ${size};\n")
# Rewritten only when it changes, so that nothing else rebuilds for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
