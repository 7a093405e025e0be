# The macOS plug-in, Tessarin.fmplugin: a loadable bundle (CFBundle) that FileMaker opens. This
# is the release build, on a Mac with Xcode and the host's SDK (CONTRIBUTING.md: "The macOS
# plug-in for release"); on Linux, cmake/TessarinMacCheck.cmake builds the same bundle as a
# check, from the same exports list and Info.plist template.
#
#   Tessarin.fmplugin/Contents/Info.plist       from plugin/mac/Info.plist.in
#   Tessarin.fmplugin/Contents/MacOS/Tessarin   the code
#
# It links the PCSC framework and the FileMaker SDK's FMWrapper framework (FMX_SDK_DIR), whose
# install name is @rpath/FMWrapper.framework/Versions/A/FMWrapper: the run-path points into
# the host application's Frameworks folder, where FileMaker keeps it. It exports exactly
# FMExternCallProc and gFMX_ExternCallPtr (plugin/mac/exported_symbols.txt).

set(TESSARIN_MAC_DIR ${CMAKE_CURRENT_LIST_DIR}/../plugin/mac)
set(TESSARIN_MAC_EXPORTS ${TESSARIN_MAC_DIR}/exported_symbols.txt)
set(TESSARIN_MAC_INFO_PLIST ${TESSARIN_MAC_DIR}/Info.plist.in)
set(TESSARIN_MAC_MINIMUM 11.0) # the oldest macOS the plug-in runs on

# Sets the Info.plist template's values for the bundle of `target`, as variables of the caller.
macro(tessarin_mac_bundle_variables target)
    set(MACOSX_BUNDLE_GUI_IDENTIFIER be.tessarin.${target})
    set(MACOSX_BUNDLE_BUNDLE_NAME ${target})
    set(MACOSX_BUNDLE_INFO_STRING "${target} ${PROJECT_VERSION}")
    set(MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION})
    set(MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION})
endmacro()

function(tessarin_mac_plugin target)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "MODULE_LIBRARY")
        message(FATAL_ERROR "${target}: a plug-in bundle is made from add_library(MODULE)")
    endif()

    if(FMX_SDK_DIR)
        find_library(TESSARIN_FMWRAPPER_FRAMEWORK NAMES FMWrapper
            PATHS ${FMX_SDK_DIR}
            PATH_SUFFIXES Libraries/Mac Libraries/macOS Libraries
            NO_DEFAULT_PATH)
        if(NOT TESSARIN_FMWRAPPER_FRAMEWORK MATCHES "FMWrapper\\.framework$")
            message(FATAL_ERROR "No FMWrapper.framework under ${FMX_SDK_DIR}/Libraries/Mac")
        endif()
        target_link_libraries(${target} PRIVATE ${TESSARIN_FMWRAPPER_FRAMEWORK})
    else()
        message(WARNING "${target}.fmplugin is linked with the fake host library, for local "
                        "tests only. Configure with -DFMX_SDK_DIR=/path/to/the/SDK to build "
                        "the plug-in for FileMaker.")
    endif()
    target_link_libraries(${target} PRIVATE "-framework PCSC")

    target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${TESSARIN_MAC_EXPORTS}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${TESSARIN_MAC_EXPORTS})

    tessarin_mac_bundle_variables(${target})
    set_target_properties(${target} PROPERTIES
        BUNDLE TRUE
        BUNDLE_EXTENSION fmplugin
        PREFIX ""
        SUFFIX ""
        MACOSX_BUNDLE_INFO_PLIST ${TESSARIN_MAC_INFO_PLIST}
        MACOSX_BUNDLE_GUI_IDENTIFIER ${MACOSX_BUNDLE_GUI_IDENTIFIER}
        MACOSX_BUNDLE_BUNDLE_NAME ${MACOSX_BUNDLE_BUNDLE_NAME}
        MACOSX_BUNDLE_INFO_STRING ${MACOSX_BUNDLE_INFO_STRING}
        MACOSX_BUNDLE_BUNDLE_VERSION ${MACOSX_BUNDLE_BUNDLE_VERSION}
        MACOSX_BUNDLE_SHORT_VERSION_STRING ${MACOSX_BUNDLE_SHORT_VERSION_STRING}
        BUILD_WITH_INSTALL_RPATH TRUE
        INSTALL_RPATH "@executable_path/../Frameworks")
endfunction()
