# Writes the header that carries the four-part product version. Run at configure time and again
# at every build (cmake -P), so a build from a newer commit carries the newer number without a
# fresh configure. The header is only rewritten when the number changes, so an unchanged number
# rebuilds nothing.
#
# Script mode: cmake -DBL_SOURCE_DIR=... -DBL_OUTPUT=... -DBL_VERSION=x.y.z
#                    [-DBL_FIXED_BUILD_NUMBER=n] -P BrightloomBuildNumber.cmake
# Included: defines bl_write_build_number(<source dir> <output> <x.y.z> <fixed number or "">).

function(bl_write_build_number source_dir output version fixed)
    if(NOT fixed STREQUAL "")
        set(number ${fixed})
    else()
        # The count of commits: every build from a newer commit carries a higher number.
        set(number 0)
        find_package(Git QUIET)
        if(GIT_FOUND)
            execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                WORKING_DIRECTORY ${source_dir}
                OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
            if(git_result EQUAL 0 AND count MATCHES "^[0-9]+$")
                set(number ${count})
            endif()
        endif()
    endif()
    if(NOT number MATCHES "^[0-9]+$")
        message(FATAL_ERROR "BL_BUILD_NUMBER must be a decimal number, not '${number}'")
    endif()
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "the project version must have three parts, not '${version}'")
    endif()
    # Plain defines only: the Windows resource compiler reads this header too.
    string(CONCAT text
        "// Written by the build (cmake/BrightloomBuildNumber.cmake); not to be edited.\n"
        "#ifndef BL_BUILD_NUMBER_H\n#define BL_BUILD_NUMBER_H\n"
        "#define BL_VERSION_MAJOR ${CMAKE_MATCH_1}\n"
        "#define BL_VERSION_MINOR ${CMAKE_MATCH_2}\n"
        "#define BL_VERSION_PATCH ${CMAKE_MATCH_3}\n"
        "#define BL_BUILD_NUMBER ${number}\n"
        "#define BL_PRODUCT_BUILD \"${number}\"\n"
        "#define BL_PRODUCT_VERSION \"${version}.${number}\"\n"
        "#endif\n")
    set(old "")
    if(EXISTS ${output})
        file(READ ${output} old)
    endif()
    if(NOT old STREQUAL text)
        file(WRITE ${output} "${text}")
    endif()
    set(BL_CURRENT_BUILD_NUMBER ${number} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    if(NOT DEFINED BL_FIXED_BUILD_NUMBER)
        set(BL_FIXED_BUILD_NUMBER "")
    endif()
    bl_write_build_number("${BL_SOURCE_DIR}" "${BL_OUTPUT}" "${BL_VERSION}" "${BL_FIXED_BUILD_NUMBER}")
endif()
