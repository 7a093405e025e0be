# Links tessarin_warnings into every compiled target defined under a directory and the
# directories below it, so that a new target cannot be built without them. Called once, at the
# end of the top-level CMakeLists.txt, when every target exists.
function(tessarin_link_warnings directory)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            target_link_libraries(${target} PRIVATE tessarin_warnings)
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        tessarin_link_warnings(${subdirectory})
    endforeach()
endfunction()
