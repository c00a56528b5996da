# Cross-compiles Morvane.exe for 64-bit Windows with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
# The win32 thread model: the posix one links in winpthreads, which imports
# GetTickCount64, a call that Windows XP x64 and Server 2003 x64 lack.
if(DEFINED CACHE{CMAKE_CXX_COMPILER} AND NOT CMAKE_CXX_COMPILER MATCHES "-win32$")
  message(FATAL_ERROR "This build folder was configured with ${CMAKE_CXX_COMPILER}; "
                      "configure it afresh: cmake --preset windows --fresh")
endif()
find_program(CMAKE_CXX_COMPILER NAMES ${MINGW_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${MINGW_PREFIX}-gcc-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests built for Windows run under Wine, with address space randomisation off:
# Debian's Wine has no preloader, and with randomisation its loader now and then
# takes the address of the shared user data, so the program exits 1 before it
# runs; err+virtual says so should it happen.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all,err+virtual setarch x86_64 -R wine)
