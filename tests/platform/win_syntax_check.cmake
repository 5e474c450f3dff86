# Compiles every C++ source under one product folder for Windows, syntax only; the folder is
# listed when the test runs, so a source added since the last configure is checked too.
# WARNINGS, INCLUDES (ours and generated, warnings count) and SYSTEM_INCLUDES are "|"-joined.
string(REPLACE "|" ";" WARNINGS "${WARNINGS}")
string(REPLACE "|" ";-I;" INCLUDES "-I;${INCLUDES}")
string(REPLACE "|" ";-isystem;" SYSTEM_INCLUDES "-isystem;${SYSTEM_INCLUDES}")
file(GLOB_RECURSE sources RELATIVE "${SOURCE_ROOT}" "${SOURCE_ROOT}/${FOLDER}/*.cpp")
list(FILTER sources EXCLUDE REGEX "^platform/posix/")
if(NOT sources)
    message(FATAL_ERROR "no sources under ${SOURCE_ROOT}/${FOLDER}")
endif()
set(failed "")
foreach(source IN LISTS sources)
    execute_process(COMMAND "${COMPILER}" -std=c++17 -fsyntax-only ${WARNINGS} -Werror
                            -I "${SOURCE_ROOT}" ${INCLUDES} ${SYSTEM_INCLUDES}
                            "${SOURCE_ROOT}/${source}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        list(APPEND failed "${source}")
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "Windows syntax check failed for: ${failed}")
endif()
