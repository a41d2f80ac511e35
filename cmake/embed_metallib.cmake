# Writes the compiled shader library INPUT as the C++ byte array OUTPUT
# (qx::mtl::kShaderLibrary, src/metal/shader_library.h).
#   cmake -DINPUT=orb_kernels.metallib -DOUTPUT=shader_library_data.cc -P embed_metallib.cmake
file(READ ${INPUT} QX_HEX HEX)
string(LENGTH "${QX_HEX}" QX_HEX_LENGTH)
math(EXPR QX_SIZE "${QX_HEX_LENGTH} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," QX_BYTES "${QX_HEX}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" QX_BYTES "${QX_BYTES}")
file(WRITE ${OUTPUT}
     "// Generated from the compiled Metal kernels by cmake/embed_metallib.cmake; do not edit.\n"
     "#include \"metal/shader_library.h\"\n\n"
     "namespace qx {\nnamespace mtl {\n\n"
     "alignas(16) const unsigned char kShaderLibrary[] = {\n${QX_BYTES}\n};\n"
     "const size_t kShaderLibrarySize = ${QX_SIZE};\n\n"
     "}  // namespace mtl\n}  // namespace qx\n")
