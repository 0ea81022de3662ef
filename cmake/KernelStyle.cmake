# The driver folders are kernel code: they see only the platform headers, never the C++ standard
# library or the host's C headers, and are built without exceptions and RTTI.  -nostdinc makes an
# include of any standard header fail at compile time; the symbol check after the build refuses
# a library that reaches for operator new/delete, exceptions or type information anyway.
set(LMSCR_KERNEL_FLAGS -fno-exceptions -fno-rtti -nostdinc -fno-threadsafe-statics -ffreestanding)
set(LMSCR_PLATFORM_INCLUDE ${CMAKE_SOURCE_DIR}/platform/include)

function(lmscr_kernel_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${LMSCR_KERNEL_FLAGS})
  target_include_directories(${name} PUBLIC ${LMSCR_PLATFORM_INCLUDE})
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${name}> -DNM=${CMAKE_NM}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckKernelSymbols.cmake
    VERBATIM)
endfunction()
