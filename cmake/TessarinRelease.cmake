# Target release: the release archive, release/Tessarin-VERSION.zip in the build folder, which
# scripts/release makes. It builds only what the archive needs, the Windows plug-in and the macOS
# check bundle, and scripts/release.py packs them with README.md, LICENSE and CHANGELOG.md (and
# signs the Windows plug-in when TESSARIN_SIGN_PFX is set in the environment).
if(NOT (TESSARIN_WINDOWS_BIN AND TESSARIN_MAC_BUNDLE))
    add_custom_target(release
        COMMAND ${CMAKE_COMMAND} -E echo "The release archive needs the Windows cross-build and "
                "the macOS check build: scripts/setup installs their tools."
        COMMAND ${CMAKE_COMMAND} -E false)
    return()
endif()

set(TESSARIN_RELEASE_ARCHIVE ${CMAKE_BINARY_DIR}/release/Tessarin-${PROJECT_VERSION}.zip)
add_custom_target(release
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/release.py
            --source ${PROJECT_SOURCE_DIR} --windows ${TESSARIN_WINDOWS_BIN}/Tessarin.fmx64
            --mac ${TESSARIN_MAC_BUNDLE} ${TESSARIN_RELEASE_ARCHIVE}
    VERBATIM)
add_dependencies(release windows_cross-plugin mac_bundle)
