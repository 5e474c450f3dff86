# Compiles every C++ source under one product folder for Windows, syntax only. The folder
# is listed when the test runs, so a source added since the last configure is checked too.
# Inputs: COMPILER, SOURCE_ROOT, FOLDER, and "|"-joined WARNINGS, INCLUDES (our own and
# generated headers, whose warnings count) and SYSTEM_INCLUDES (Qt and OpenCV, silenced).
foreach(var WARNINGS INCLUDES SYSTEM_INCLUDES)
    string(REPLACE "|" ";" ${var} "${${var}}")
endforeach()
set(flags -std=c++17 -fsyntax-only ${WARNINGS} -Werror -I "${SOURCE_ROOT}")
foreach(dir IN LISTS INCLUDES)
    list(APPEND flags -I "${dir}")
endforeach()
foreach(dir IN LISTS SYSTEM_INCLUDES)
    list(APPEND flags -isystem "${dir}")
endforeach()

file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE "${SOURCE_ROOT}"
     "${SOURCE_ROOT}/${FOLDER}/*.cpp")
list(FILTER sources EXCLUDE REGEX "^platform/posix/")
list(SORT sources)
if(NOT sources)
    message(FATAL_ERROR "no sources under ${SOURCE_ROOT}/${FOLDER}")
endif()

set(failed "")
foreach(source IN LISTS sources)
    execute_process(COMMAND "${COMPILER}" ${flags} "${SOURCE_ROOT}/${source}" RESULT_VARIABLE rc)
    if(rc EQUAL 0)
        message("ok: ${source}")
    else()
        list(APPEND failed "${source}")
    endif()
endforeach()
if(failed)
    string(REPLACE ";" "\n  " failed "${failed}")
    message(FATAL_ERROR "Windows syntax check failed for:\n  ${failed}")
endif()
