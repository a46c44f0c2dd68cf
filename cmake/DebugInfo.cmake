# halyard_split_debug_info(<target>): after every link, moves the target's debug information into
# <binary>.debug beside it and strips the binary, which keeps a debug link to that file (gdb finds it
# beside the binary or in a .debug folder there). What the build produces is therefore what ships:
# the demo installs, and the tests load, the stripped module.
function(halyard_split_debug_info target)
    if(NOT CMAKE_OBJCOPY)
        message(FATAL_ERROR "halyard_split_debug_info(${target}): no objcopy for this toolchain (CMAKE_OBJCOPY)")
    endif()
    set(binary $<TARGET_FILE:${target}>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${binary} ${binary}.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-debug ${binary}
        # The link records the file's name and checksum; run beside it so that only the name is kept.
        COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug ${binary}
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        COMMENT "Splitting the debug information of ${target}"
        VERBATIM)
    set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${binary}.debug)
endfunction()
