# The Windows deliverable, Tessarin.fmx64, cross-built with MinGW-w64: an external project of this
# same source tree built with cmake/mingw-w64-x86_64.cmake into windows/ of the build folder.
# Its programs and DLLs land in TESSARIN_WINDOWS_BIN (Tessarin.fmx64 among them); inside it
# windows/ adds the helpers that the tests under Wine (tests/windows) need.
#
# Sets TESSARIN_WINDOWS_BIN when the cross-build is part of the build; leaves it empty when
# MinGW-w64 is missing (or TESSARIN_MINGW_CXX is set to OFF).
set(TESSARIN_WINDOWS_BIN "")
find_program(TESSARIN_MINGW_CXX x86_64-w64-mingw32-g++-posix)
if(NOT TESSARIN_MINGW_CXX)
    message(STATUS "Windows build: skipped (no x86_64-w64-mingw32-g++-posix)")
    return()
endif()
set(googletest_source /usr/src/googletest)
if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
    message(FATAL_ERROR "Windows build: GoogleTest's sources are missing (${googletest_source})")
endif()

include(ExternalProject)
set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
set(googletest ${CMAKE_BINARY_DIR}/windows-googletest)
set(cross ${CMAKE_BINARY_DIR}/windows)

ExternalProject_Add(windows_googletest
    SOURCE_DIR ${googletest_source}
    PREFIX ${googletest}
    INSTALL_DIR ${googletest}/install
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j2)

# Always built: the external project cannot see which of the tree's sources changed, and its
# own build tool knows.
ExternalProject_Add(windows_cross
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${cross}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=Release
               -DTESSARIN_WERROR=${TESSARIN_WERROR}
               -DGTest_DIR=${googletest}/install/lib/cmake/GTest
               -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
               -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${cross}/bin
               -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${cross}/bin
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j2 --target windows_all
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND ""
    DEPENDS windows_googletest)

set(TESSARIN_WINDOWS_BIN ${cross}/bin)

# Target windows_cross-plugin: the plug-in alone, for the release archive
# (cmake/TessarinRelease.cmake).
ExternalProject_Add_Step(windows_cross plugin
    COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j2 --target Tessarin
    DEPENDEES configure
    ALWAYS TRUE
    EXCLUDE_FROM_MAIN TRUE)
ExternalProject_Add_StepTargets(windows_cross plugin)
