# Cross build for 32-bit Windows with MinGW-w64.
#
# The posix thread model compilers: the engine's completion thread is a
# std::thread, which the win32 thread model lacks. Doubles are computed in
# SSE2 registers, so every double operation rounds to IEEE double exactly as
# on x86-64 Linux, never to x87 extended precision. The C and C++ runtimes and
# winpthread are linked statically: Vantoro.dll and the test host import
# nothing but system libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VANTORO_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTORO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTORO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTORO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTORO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endforeach()
