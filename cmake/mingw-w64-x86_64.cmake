# Cross-compiles the Windows x86-64 console program with Debian's MinGW-w64 (the posix thread
# model of g++-mingw-w64-x86-64-posix). Test programs run under Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSALOOM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSALOOM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALOOM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALOOM_MINGW_PREFIX}-windres)

# Libraries and headers come from the MinGW-w64 sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSALOOM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the cross-built test programs through Wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TESSALOOM_WINE NAMES wine wine64)
  if(TESSALOOM_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSALOOM_WINE})
  endif()
endif()
