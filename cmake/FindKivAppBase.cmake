# SPDX-License-Identifier: MIT
# The platform's own application-base library, from its SDK: headers AM_ActionData.h,
# AM_ActionResults.h, ConfigManager.h, KivConfig.h and libkivappbase.so.1.
# Defines the imported target `kivappbase`, so the rest of the build links it the same
# way as the bundled layer.
set(_kiv_hints)
if(KIVAPPBASE_ROOT)
    set(_kiv_hints HINTS ${KIVAPPBASE_ROOT} NO_DEFAULT_PATH)
endif()
find_path(KIVAPPBASE_INCLUDE_DIR AM_ActionData.h ${_kiv_hints}
    PATH_SUFFIXES include/kivappbase include kivappbase)
find_library(KIVAPPBASE_LIBRARY NAMES kivappbase libkivappbase.so.1 ${_kiv_hints}
    PATH_SUFFIXES lib lib64 ${CMAKE_INSTALL_LIBDIR})
foreach(_header AM_ActionResults.h ConfigManager.h KivConfig.h)
    if(KIVAPPBASE_INCLUDE_DIR AND NOT EXISTS ${KIVAPPBASE_INCLUDE_DIR}/${_header})
        message(FATAL_ERROR "Platform SDK at ${KIVAPPBASE_INCLUDE_DIR} lacks ${_header}")
    endif()
endforeach()
if(NOT KIVAPPBASE_INCLUDE_DIR OR NOT KIVAPPBASE_LIBRARY)
    message(FATAL_ERROR "CAMERAUISERVICE_SYSTEM_PLATFORM is ON but the platform SDK was not "
        "found (headers: ${KIVAPPBASE_INCLUDE_DIR}, library: ${KIVAPPBASE_LIBRARY}). "
        "Set KIVAPPBASE_ROOT to its prefix.")
endif()
message(STATUS "Platform SDK: ${KIVAPPBASE_LIBRARY} with headers in ${KIVAPPBASE_INCLUDE_DIR}")

add_library(kivappbase SHARED IMPORTED GLOBAL)
set_target_properties(kivappbase PROPERTIES
    IMPORTED_LOCATION ${KIVAPPBASE_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${KIVAPPBASE_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES Qt${QT_MAJOR_VERSION}::Core
)
