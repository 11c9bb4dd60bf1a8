# Makes a delay-load import library from a MinGW import library: the DLL is
# loaded at the first call into it rather than when the program starts.
#   cmake -DNM=... -DAR=... -DDLLTOOL=... -DLIBRARY=libfoo.a -DDLL=foo.dll
#         -DOUTPUT=dir/libfoo.a -P DelayLoadLibrary.cmake
# The import library's own code (helpers such as gai_strerrorA) is carried over.
cmake_minimum_required(VERSION 3.25)
get_filename_component(work ${OUTPUT} DIRECTORY)
set(work ${work}/members)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

execute_process(COMMAND ${NM} -A --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${AR} t ${LIBRARY}
    OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)

# Import stubs define __imp_ symbols; the head and tail define .idata only.
set(exports "")
set(stubs "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
    if(line MATCHES "^[^:]*:([^:]+):.* I __imp_(.+)$")
        list(APPEND exports ${CMAKE_MATCH_2})
        list(APPEND stubs ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[^:]*:([^:]+):.* \\.idata")
        list(APPEND stubs ${CMAKE_MATCH_1})
    endif()
endforeach()
if(NOT exports)
    message(FATAL_ERROR "${LIBRARY} imports nothing from ${DLL}")
endif()
list(REMOVE_DUPLICATES exports)
list(JOIN exports "\n    " text)
file(WRITE ${work}/exports.def "LIBRARY ${DLL}\nEXPORTS\n    ${text}\n")
execute_process(COMMAND ${DLLTOOL} --input-def ${work}/exports.def --dllname ${DLL}
    --output-delaylib ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)

string(REPLACE "\n" ";" members "${members}")
set(code "")
foreach(member IN LISTS members)
    if(member AND NOT member IN_LIST stubs)
        list(APPEND code ${member})
    endif()
endforeach()
if(code)
    execute_process(COMMAND ${AR} x ${LIBRARY} ${code}
        WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${AR} rs ${OUTPUT} ${code}
        WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
endif()
