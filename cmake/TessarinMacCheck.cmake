# The macOS plug-in built on this (Linux) machine on every build, as a check: build/mac/
# Tessarin.fmplugin, a universal (arm64 and x86_64) bundle compiled from the plug-in's own
# sources with Apple's PC/SC type layout, so that the macOS code paths compile, and the bundle
# exports and imports exactly what it should (tests/mac). The release build stays on a Mac with
# Xcode and the host's SDK (cmake/TessarinMac.cmake); both take the exported symbols list and the
# Info.plist template from plugin/mac/.
#
# The tools (scripts/setup installs them):
# - Zig 0.11 (`zig c++`), the compiler, with the macOS C library headers and libc++. It builds
#   libc++ for each target the first time, about a minute each, into TESSARIN_ZIG_CACHE, which
#   outlives the build folder.
# - lld-14's ld64.lld, the linker (Zig's own exports hidden symbols and ignores an exported
#   symbols list), and llvm-14's lipo to join the two architectures.
# - pcsc-lite's headers, copied into a folder of their own: under __APPLE__ they give the PCSC
#   framework's layout (32-bit DWORD and LONG, packed structures).
# The two frameworks are linked through the text stubs plugin/mac/PCSC.tbd and FMWrapper.tbd,
# which list exactly the functions the plug-in calls (scripts/mac-stubs writes them).
#
# Sets TESSARIN_MAC_BUNDLE to the bundle's folder when the tools are present, else leaves it
# empty (set TESSARIN_ZIG to OFF to leave the check out).
include(${CMAKE_CURRENT_LIST_DIR}/TessarinMac.cmake)

set(TESSARIN_MAC_BUNDLE "")
if(DEFINED ENV{XDG_CACHE_HOME})
    set(tessarin_cache $ENV{XDG_CACHE_HOME}/tessarin)
else()
    set(tessarin_cache $ENV{HOME}/.cache/tessarin)
endif()
find_program(TESSARIN_ZIG zig PATHS ${tessarin_cache}/zig-0.11.0 NO_DEFAULT_PATH)
find_program(TESSARIN_LD64 ld64.lld-14)
find_program(TESSARIN_LIPO llvm-lipo-14)
find_path(TESSARIN_PCSCLITE_HEADERS PCSC/wintypes.h)
set(TESSARIN_ZIG_CACHE ${tessarin_cache}/zig-cache CACHE PATH "Zig's cache (its libc++ builds)")
if(NOT (TESSARIN_ZIG AND TESSARIN_LD64 AND TESSARIN_LIPO AND TESSARIN_PCSCLITE_HEADERS))
    message(STATUS "macOS check build: skipped (scripts/setup installs Zig 0.11, lld-14 and "
                   "llvm-14)")
    return()
endif()

set(mac ${CMAKE_BINARY_DIR}/mac)
set(TESSARIN_MAC_BUNDLE ${mac}/Tessarin.fmplugin)
get_filename_component(zig_home ${TESSARIN_ZIG} DIRECTORY)
set(zig ${CMAKE_COMMAND} -E env ZIG_GLOBAL_CACHE_DIR=${TESSARIN_ZIG_CACHE}
        ZIG_LOCAL_CACHE_DIR=${TESSARIN_ZIG_CACHE} ${TESSARIN_ZIG})

# The plug-in's sources: those of the production target and of the static libraries it links
# (the core and the encoding; the PC/SC and SDK libraries are the stubs here).
set(sources)
get_target_property(linked Tessarin LINK_LIBRARIES)
set(compiled Tessarin)
foreach(library IN LISTS linked)
    if(TARGET ${library})
        get_target_property(type ${library} TYPE)
        if(type STREQUAL "STATIC_LIBRARY")
            list(APPEND compiled ${library})
        endif()
    endif()
endforeach()
foreach(target IN LISTS compiled)
    get_target_property(target_sources ${target} SOURCES)
    get_target_property(folder ${target} SOURCE_DIR)
    foreach(source IN LISTS target_sources)
        get_filename_component(source ${source} ABSOLUTE BASE_DIR ${folder})
        if(source MATCHES "\\.cpp$")
            list(APPEND sources ${source})
        endif()
    endforeach()
endforeach()

set(pcsc ${mac}/pcsc)
add_custom_command(
    OUTPUT ${pcsc}/PCSC/winscard.h
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${TESSARIN_PCSCLITE_HEADERS}/PCSC ${pcsc}/PCSC
    COMMENT "pcsc-lite's headers for the macOS build"
    VERBATIM)

set(stubs ${TESSARIN_MAC_DIR}/PCSC.tbd ${TESSARIN_MAC_DIR}/FMWrapper.tbd)
# The production target's definitions (the version EID_Version answers), for every source.
get_target_property(definitions Tessarin COMPILE_DEFINITIONS)
list(TRANSFORM definitions PREPEND -D)
# No debug information (Zig's default): it would carry the source and build folders into the
# objects and, through their layout, into the bundle.
set(flags -std=c++17 -O2 -g0 -DNDEBUG ${definitions} -fvisibility=hidden
          -fvisibility-inlines-hidden $<TARGET_PROPERTY:tessarin_warnings,INTERFACE_COMPILE_OPTIONS>
          -I${PROJECT_SOURCE_DIR} -I${PROJECT_SOURCE_DIR}/sdk -I${pcsc} -I${pcsc}/PCSC)

# Zig's target for each architecture.
set(TESSARIN_MAC_TRIPLE_arm64 aarch64-macos.${TESSARIN_MAC_MINIMUM})
set(TESSARIN_MAC_TRIPLE_x86_64 x86_64-macos.${TESSARIN_MAC_MINIMUM})
# How tests/mac compiles a probe with the check build's compiler and flags: the command, then
# -target, the source, -c and -o.
set(TESSARIN_MAC_COMPILE ${zig} c++ ${flags})

set(binaries)
foreach(arch arm64 x86_64)
    set(triple ${TESSARIN_MAC_TRIPLE_${arch}})
    set(dir ${mac}/${arch})

    set(objects)
    foreach(source IN LISTS sources)
        # Named after the source's path, so that two folders may hold files of one name.
        file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${source})
        string(REGEX REPLACE "\\.cpp$" "" name ${name})
        string(REPLACE "/" "_" name ${name})
        set(object ${dir}/obj/${name}.o)
        add_custom_command(
            OUTPUT ${object}
            COMMAND ${zig} c++ -target ${triple} ${flags} -MD -MF ${object}.d -c ${source}
                    -o ${object}
            DEPENDS ${source} ${pcsc}/PCSC/winscard.h
            DEPFILE ${object}.d
            COMMENT "macOS ${arch}: ${source}"
            COMMAND_EXPAND_LISTS VERBATIM)
        list(APPEND objects ${object})
    endforeach()

    add_custom_command(
        OUTPUT ${dir}/libc++.a ${dir}/libc++abi.a
        COMMAND ${zig} c++ -target ${triple} ${TESSARIN_MAC_DIR}/runtime.cpp -o ${dir}/runtime
        COMMAND ${CMAKE_COMMAND} -DCACHE=${TESSARIN_ZIG_CACHE} -DARCH=${arch} -DTO=${dir}
                -P ${CMAKE_CURRENT_LIST_DIR}/TessarinMacRuntime.cmake
        DEPENDS ${TESSARIN_MAC_DIR}/runtime.cpp ${CMAKE_CURRENT_LIST_DIR}/TessarinMacRuntime.cmake
        COMMENT "macOS ${arch}: Zig's libc++ (built once into ${TESSARIN_ZIG_CACHE})"
        VERBATIM)

    # -S: no debug map, which would name the objects, their times and the folders Zig's libc++
    # was built in.
    add_custom_command(
        OUTPUT ${dir}/Tessarin
        COMMAND ${TESSARIN_LD64} -arch ${arch}
                -platform_version macos ${TESSARIN_MAC_MINIMUM} ${TESSARIN_MAC_MINIMUM}
                -bundle -dead_strip -S -exported_symbols_list ${TESSARIN_MAC_EXPORTS}
                ${objects} ${dir}/libc++.a ${dir}/libc++abi.a
                ${zig_home}/lib/libc/darwin/libSystem.11.tbd ${stubs} -o ${dir}/Tessarin
        DEPENDS ${objects} ${dir}/libc++.a ${dir}/libc++abi.a ${stubs} ${TESSARIN_MAC_EXPORTS}
        COMMENT "macOS ${arch}: linking Tessarin"
        VERBATIM)
    list(APPEND binaries ${dir}/Tessarin)
endforeach()

tessarin_mac_bundle_variables(Tessarin)
set(MACOSX_BUNDLE_EXECUTABLE_NAME Tessarin)
set(plist ${CMAKE_BINARY_DIR}/CMakeFiles/TessarinMacCheck/Info.plist)
configure_file(${TESSARIN_MAC_INFO_PLIST} ${plist})
add_custom_command(
    OUTPUT ${TESSARIN_MAC_BUNDLE}/Contents/Info.plist
    COMMAND ${CMAKE_COMMAND} -E copy ${plist} ${TESSARIN_MAC_BUNDLE}/Contents/Info.plist
    DEPENDS ${plist}
    VERBATIM)
add_custom_command(
    OUTPUT ${TESSARIN_MAC_BUNDLE}/Contents/MacOS/Tessarin
    COMMAND ${TESSARIN_LIPO} -create ${binaries}
            -output ${TESSARIN_MAC_BUNDLE}/Contents/MacOS/Tessarin
    DEPENDS ${binaries}
    COMMENT "macOS: the universal Tessarin.fmplugin"
    VERBATIM)
add_custom_target(mac_bundle ALL DEPENDS ${TESSARIN_MAC_BUNDLE}/Contents/MacOS/Tessarin
                                         ${TESSARIN_MAC_BUNDLE}/Contents/Info.plist)
