# SPDX-License-Identifier: MIT
# Doxygen says nothing about the functions and macros of a header that has no \file
# block: each public header must have one, or its undocumented entry points would pass.
# cmake -DHEADERS=a.h;b.h -P check-headers.cmake
set(_missing)
foreach(_header IN LISTS HEADERS)
    if(_header STREQUAL "")
        continue()
    endif()
    file(READ ${_header} _text)
    if(NOT _text MATCHES "[\\\\@]file[ \t]")
        list(APPEND _missing ${_header})
    endif()
endforeach()
if(_missing)
    list(JOIN _missing "\n    " _list)
    message(FATAL_ERROR "These public headers have no \\file doc comment, so Doxygen would "
        "not report their undocumented members. Add one (see camerauiservice.h):\n    ${_list}")
endif()
