# Turns the live page's files into a C++ file of byte arrays, at build time:
#   cmake -DDIR=web -DNAMES=index.html,app.js,style.css -DOUT=webAssets.cpp -P embedWeb.cmake
# Each file NAME becomes `web_<NAME as an identifier>` and `web_<...>_size`.
string(REPLACE "," ";" names "${NAMES}")
set(out "// Made from the files in web/ at build time: edit those, not this.\n#include <cstddef>\n\n")
foreach(name ${names})
  string(MAKE_C_IDENTIFIER "${name}" id)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND out "extern const unsigned char web_${id}[] = {${bytes}0};\n")
  string(APPEND out "extern const size_t web_${id}_size = ${size};\n")
endforeach()
file(WRITE "${OUT}" "${out}")
