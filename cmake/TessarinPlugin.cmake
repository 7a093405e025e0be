# Makes the target Tessarin the plug-in of its platform: Tessarin.fmx64 on Windows, the
# Tessarin.fmplugin bundle on macOS. plugin/CMakeLists.txt includes this after defining the
# target; elsewhere (Tessarin.fmx on Linux) the target stays as it is.
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/TessarinWindows.cmake)
    tessarin_windows_plugin(Tessarin)
elseif(APPLE)
    include(${CMAKE_CURRENT_LIST_DIR}/TessarinMac.cmake)
    tessarin_mac_plugin(Tessarin)
endif()
