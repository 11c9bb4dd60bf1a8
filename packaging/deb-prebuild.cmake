# Run by CPack once the files are staged, before it archives them: strips the
# compiler's .comment note from the programs, and gives every file and folder
# the date of the last commit (SOURCE_DATE_EPOCH), so that two builds of the
# same sources give byte-identical packages.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path ${staged})
    if(path MATCHES "/bin/[^/]+$" AND NOT IS_DIRECTORY "${path}")
        execute_process(COMMAND objcopy --remove-section=.comment "${path}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND staged)
    execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
endif()
