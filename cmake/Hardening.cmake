# Debian's hardening flags for release builds on Linux (fortify, stack
# protector, relro, bindnow), as dpkg-buildflags gives them where it is
# installed. The build type keeps its own optimisation.
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    find_program(MODBUSCALC_DPKG_BUILDFLAGS dpkg-buildflags)
    if(MODBUSCALC_DPKG_BUILDFLAGS)
        foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
            execute_process(
                COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${MODBUSCALC_DPKG_BUILDFLAGS} --get ${kind}
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
            separate_arguments(flags UNIX_COMMAND "${flags}")
            list(FILTER flags EXCLUDE REGEX "^-O[0-9s]?$|^-g$")
            if(kind STREQUAL "LDFLAGS")
                add_link_options(${flags})
            else()
                add_compile_options(${flags})
            endif()
        endforeach()
    endif()
endif()
