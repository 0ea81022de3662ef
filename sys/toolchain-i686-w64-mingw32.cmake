# The cross compiler of Debian's g++-mingw-w64-i686 package, for the x86 kernel image.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(LMSCR_CROSS i686-w64-mingw32)
set(CMAKE_C_COMPILER ${LMSCR_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${LMSCR_CROSS}-g++)
set(CMAKE_RC_COMPILER ${LMSCR_CROSS}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LMSCR_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The compiler check links a test program with the C runtime, which a kernel image never has; the
# project links with -nostdlib and says so itself.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
