# cmake -DINPUT=file.bin -DOUTPUT=file.cpp -DNAME=symbol -P embed_binary.cmake
# Writes the bytes of INPUT as `const std::span<const uint8_t> samba::NAME`.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstdint>\n#include <span>\n\n"
  "namespace samba {\nnamespace {\nconst uint8_t kBytes[] = {\n    ${bytes}\n};\n}  // namespace\n"
  "extern const std::span<const uint8_t> ${NAME}(kBytes);\n}  // namespace samba\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
