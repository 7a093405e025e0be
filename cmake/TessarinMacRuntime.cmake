# Copies Zig's libc++.a and libc++abi.a for one architecture out of its cache into a folder, for
# the macOS check build's linker (cmake/TessarinMacCheck.cmake), after a small program linked
# with `zig c++` has made Zig build them.
#
#   cmake -DCACHE=ZIG_CACHE -DARCH=arm64|x86_64 -DTO=FOLDER -P TessarinMacRuntime.cmake
#
# Zig files them under hashed names; each archive's members name their architecture, and the
# newest archive of the architecture is the one just used.
find_program(objdump llvm-objdump-14 REQUIRED)
if(ARCH STREQUAL "arm64")
    set(format "mach-o arm64")
else()
    set(format "mach-o 64-bit x86-64")
endif()
foreach(library libc++.a libc++abi.a)
    file(GLOB candidates ${CACHE}/o/*/${library})
    set(found "")
    set(found_time 0)
    foreach(candidate IN LISTS candidates)
        execute_process(COMMAND ${objdump} -f ${candidate} OUTPUT_VARIABLE header ERROR_QUIET)
        file(TIMESTAMP ${candidate} time "%s")
        if(header MATCHES "file format ${format}\n" AND time GREATER_EQUAL found_time)
            set(found ${candidate})
            set(found_time ${time})
        endif()
    endforeach()
    if(NOT found)
        message(FATAL_ERROR "No ${ARCH} ${library} in ${CACHE}")
    endif()
    file(COPY_FILE ${found} ${TO}/${library})
endforeach()
