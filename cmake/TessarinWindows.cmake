# The Windows plug-in, Tessarin.fmx64, built with MinGW-w64 (cross or native).
#
# - It exports FMExternCallProc and nothing else: a .def file, since MinGW would otherwise
#   export every symbol.
# - FMWrapper.dll is delay-loaded. The host has it loaded before it calls the plug-in, but the
#   plug-in must also load where it is absent, so the library is bound at the first SDK call.
#   dlltool --output-delaylib makes the import library from the list of SDK functions. GNU ld
#   leaves the PE delay-import directory empty, so tools that read that directory do not list
#   FMWrapper.dll; the binding still happens at run time, through the import library's thunks.
# - It links the MinGW runtime statically: its only imports are Windows system DLLs and
#   WinSCard.dll, and FMWrapper.dll delayed.
# - It carries a VERSIONINFO resource with the project's version, which FileMaker shows.

set(TESSARIN_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/../windows)

# An interface library `name` that links the delay-load import library of FMWrapper.dll.
function(tessarin_fmwrapper_delayload name)
    find_program(TESSARIN_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool dlltool
                 REQUIRED)
    set(def ${TESSARIN_WINDOWS_DIR}/FMWrapper.def)
    set(delaylib ${CMAKE_CURRENT_BINARY_DIR}/libFMWrapper-delayload.a)
    add_custom_command(
        OUTPUT ${delaylib}
        COMMAND ${TESSARIN_DLLTOOL} --input-def ${def} --dllname FMWrapper.dll
                --output-delaylib ${delaylib}
        DEPENDS ${def}
        COMMENT "Delay-load import library for FMWrapper.dll"
        VERBATIM)
    add_custom_target(${name}_generate DEPENDS ${delaylib})
    add_library(${name} INTERFACE)
    add_dependencies(${name} ${name}_generate)
    target_link_libraries(${name} INTERFACE ${delaylib})
endfunction()

# Makes the module library `target` the plug-in DLL: Tessarin.fmx64, one export, no MinGW
# runtime DLLs, stripped in release builds, no link time in its headers. The SDK library comes
# with the target's SDK dependency (see sdk/).
function(tessarin_windows_plugin target)
    if(NOT MINGW)
        message(FATAL_ERROR "${target}: the Windows plug-in is built with MinGW-w64")
    endif()
    # The SDK's own headers take their GCC branch under MinGW, where long is 32 bits wide, and
    # would lay the call block out unlike the Windows host; the stand-in follows the target.
    if(FMX_SDK_DIR)
        message(FATAL_ERROR "${target}: build the Windows plug-in with the SDK stand-in "
                            "(leave FMX_SDK_DIR empty); under MinGW the SDK's headers lay the "
                            "call block out for a 32-bit long")
    endif()
    set(TESSARIN_RC_VERSION_TEXT ${PROJECT_VERSION_MAJOR})
    foreach(part MINOR PATCH TWEAK)
        if(PROJECT_VERSION_${part} STREQUAL "")
            string(APPEND TESSARIN_RC_VERSION_TEXT .0)
        else()
            string(APPEND TESSARIN_RC_VERSION_TEXT .${PROJECT_VERSION_${part}})
        endif()
    endforeach()
    string(REPLACE . , TESSARIN_RC_VERSION ${TESSARIN_RC_VERSION_TEXT})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${TESSARIN_WINDOWS_DIR}/Tessarin.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${TESSARIN_WINDOWS_DIR}/Tessarin.def ${rc})
    # Two builds of one commit give the same file.
    target_link_options(${target} PRIVATE -static -Wl,--no-insert-timestamp
                        $<$<CONFIG:Release,MinSizeRel>:-s>)
    set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".fmx64")
endfunction()
