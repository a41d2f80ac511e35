# Sources and definitions of the Metal backend (included by CMakeLists.txt
# for APPLE, or with QX_ORB_EMULATED_METAL).
#
# Both builds compile src/metal/*.cc (the backend over the narrow Metal
# layer). The macOS build adds the Objective-C++ layer over Metal and the
# shader library: src/metal/kernels/orb_kernels.metal compiled by
# `xcrun metal` / `xcrun metallib` at build time and embedded as a byte
# array. The emulated build adds the layer's emulator, which compiles the
# same kernel source as C++.
file(GLOB QX_ORB_METAL_BACKEND_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/metal/*.cc)
set(QX_ORB_METAL_KERNEL_SOURCE ${PROJECT_SOURCE_DIR}/src/metal/kernels/orb_kernels.metal)
set(QX_ORB_METAL_KERNEL_HEADERS
    ${PROJECT_SOURCE_DIR}/src/metal/kernels/kernel_prelude.h
    ${PROJECT_SOURCE_DIR}/src/metal/kernels/kernel_arithmetic.h
    ${PROJECT_SOURCE_DIR}/src/metal/kernels/kernel_tables.h)

if(APPLE)
  enable_language(OBJCXX)
  find_program(QX_ORB_XCRUN xcrun REQUIRED)
  set(QX_ORB_METAL_AIR ${PROJECT_BINARY_DIR}/metal/orb_kernels.air)
  set(QX_ORB_METALLIB ${PROJECT_BINARY_DIR}/metal/orb_kernels.metallib)
  set(QX_ORB_METALLIB_SOURCE ${PROJECT_BINARY_DIR}/metal/shader_library_data.cc)
  # -fno-fast-math: the float kernels follow the reference's order of
  # operations and IEEE results; Metal compiles with fast math by default.
  add_custom_command(
    OUTPUT ${QX_ORB_METAL_AIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/metal
    COMMAND ${QX_ORB_XCRUN} -sdk macosx metal -c -std=macos-metal2.4 -mmacosx-version-min=13.0
            -fno-fast-math -I ${PROJECT_SOURCE_DIR}/src
            ${QX_ORB_METAL_KERNEL_SOURCE} -o ${QX_ORB_METAL_AIR}
    DEPENDS ${QX_ORB_METAL_KERNEL_SOURCE} ${QX_ORB_METAL_KERNEL_HEADERS}
    COMMENT "Compiling the Metal kernels"
    VERBATIM)
  add_custom_command(
    OUTPUT ${QX_ORB_METALLIB}
    COMMAND ${QX_ORB_XCRUN} -sdk macosx metallib ${QX_ORB_METAL_AIR} -o ${QX_ORB_METALLIB}
    DEPENDS ${QX_ORB_METAL_AIR}
    COMMENT "Linking the Metal shader library"
    VERBATIM)
  add_custom_command(
    OUTPUT ${QX_ORB_METALLIB_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${QX_ORB_METALLIB} -DOUTPUT=${QX_ORB_METALLIB_SOURCE}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_metallib.cmake
    DEPENDS ${QX_ORB_METALLIB} ${PROJECT_SOURCE_DIR}/cmake/embed_metallib.cmake
    COMMENT "Embedding the Metal shader library"
    VERBATIM)
  set(QX_ORB_METAL_SOURCES ${QX_ORB_METAL_BACKEND_SOURCES}
      ${PROJECT_SOURCE_DIR}/src/metal/apple/metal_layer_apple.mm ${QX_ORB_METALLIB_SOURCE})
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/metal/apple/metal_layer_apple.mm
                              PROPERTIES COMPILE_OPTIONS "-fno-objc-arc")
  set(QX_ORB_METAL_DEFINITIONS QX_ORB_METAL)

  # Frameworks of the macOS build. MetalPerformanceShaders and its graph
  # framework are part of the macOS dylib's link line; no operation uses them.
  function(qx_orb_link_apple_frameworks target)
    target_link_libraries(${target} PRIVATE "-framework Foundation" "-framework Metal"
                          "-framework MetalPerformanceShaders"
                          "-framework MetalPerformanceShadersGraph" objc)
  endfunction()
else()
  file(GLOB QX_ORB_METAL_EMULATOR_SOURCES CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/metal/emulated/*.cc)
  set(QX_ORB_METAL_SOURCES ${QX_ORB_METAL_BACKEND_SOURCES} ${QX_ORB_METAL_EMULATOR_SOURCES})
  set(QX_ORB_METAL_DEFINITIONS QX_ORB_METAL QX_ORB_EMULATED_METAL)
endif()
