# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The -posix compilers carry std::thread and std::mutex, which GoogleTest needs; -static keeps
# the MinGW runtime out of the import tables, so every binary needs only Windows system DLLs
# and the DLLs we name.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARIN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARIN_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${TESSARIN_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${TESSARIN_MINGW_PREFIX}-objdump)

# A DLL that exports all its symbols (MinGW's default without dllexport or a .def file) must
# not re-export the static runtime's, or a program linking it and the runtime gets them twice.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")

# Headers and libraries come from the MinGW tree (and from prefixes handed in through
# CMAKE_PREFIX_PATH, such as the cross-built GoogleTest); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSARIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
