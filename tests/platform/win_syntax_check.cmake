foreach(source IN LISTS SOURCES)
    execute_process(COMMAND "${COMPILER}" -std=c++17 -Wall -Wextra -Werror -fsyntax-only
                            -I "${SOURCE_ROOT}" "${source}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Windows syntax check failed for ${source}")
    endif()
    message("ok: ${source}")
endforeach()
