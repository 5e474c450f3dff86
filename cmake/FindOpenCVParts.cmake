# Debian's libopencv-*-dev packages ship no CMake package configuration for the split
# modules, so the three modules the project uses are found by hand and exposed as
# imported targets OpenCV::core, OpenCV::imgproc and OpenCV::imgcodecs.
find_path(OpenCVParts_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)

set(_ocv_vars OpenCVParts_INCLUDE_DIR)
foreach(_module core imgproc imgcodecs)
    find_library(OpenCVParts_${_module}_LIBRARY NAMES opencv_${_module})
    list(APPEND _ocv_vars OpenCVParts_${_module}_LIBRARY)
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCVParts REQUIRED_VARS ${_ocv_vars})

if(OpenCVParts_FOUND)
    foreach(_module core imgproc imgcodecs)
        if(NOT TARGET OpenCV::${_module})
            add_library(OpenCV::${_module} UNKNOWN IMPORTED)
            set_target_properties(OpenCV::${_module} PROPERTIES
                IMPORTED_LOCATION "${OpenCVParts_${_module}_LIBRARY}"
                INTERFACE_INCLUDE_DIRECTORIES "${OpenCVParts_INCLUDE_DIR}")
        endif()
    endforeach()
    set_property(TARGET OpenCV::imgproc APPEND PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::core)
    set_property(TARGET OpenCV::imgcodecs APPEND PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::core)
endif()
mark_as_advanced(${_ocv_vars})
