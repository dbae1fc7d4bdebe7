# cmake -DIN=demo.ldif -DOUT=demo_ldif.cpp -P embed.cmake
# Compiles the demo directory template into the tool, so that it never has to be found on disk.
file(READ "${IN}" content)
string(FIND "${content}" ")DEMO_LDIF\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string end marker")
endif()
file(WRITE "${OUT}.tmp"
  "// Generated from tools/demo/demo.ldif by tools/demo/embed.cmake.\n"
  "namespace drossgate::tools {\n"
  "extern const char kDemoLdif[] = R\"DEMO_LDIF(${content})DEMO_LDIF\";\n"
  "}  // namespace drossgate::tools\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
