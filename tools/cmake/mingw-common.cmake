# The settings shared by the MinGW-w64 toolchain files; each sets
# CMAKE_SYSTEM_PROCESSOR and X12_MINGW_TRIPLE first.  The "-posix" compilers
# use the POSIX thread model, which GoogleTest needs (std::mutex).
set(CMAKE_C_COMPILER ${X12_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${X12_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${X12_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${X12_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C and C++ runtimes and winpthread linked in,
# so that nothing but system DLLs is imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
