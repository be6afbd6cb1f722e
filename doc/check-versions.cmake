# SPDX-License-Identifier: MIT
# The project's VERSION must be the one debian/changelog and NEWS.md start with (NEWS.md
# may have an "Unreleased" section first).
#   cmake -DVERSION=x.y.z -DSOURCE_DIR=... -P check-versions.cmake
set(_errors)

file(STRINGS ${SOURCE_DIR}/debian/changelog _first LIMIT_COUNT 1)
if(NOT _first MATCHES "^camerauiservice \\(([^)]+)\\) ")
    list(APPEND _errors "debian/changelog: cannot read the first line: ${_first}")
else()
    # An epoch and a Debian revision are the packaging's own.
    string(REGEX REPLACE "^[0-9]+:" "" _debian "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "-[^-]*$" "" _debian "${_debian}")
    if(NOT _debian STREQUAL VERSION)
        list(APPEND _errors
            "debian/changelog starts with ${_debian}, CMakeLists.txt says ${VERSION}: add a changelog entry (dch -v ${VERSION})")
    endif()
endif()

# Changes not yet released gather under "## Unreleased" above the current version.
file(STRINGS ${SOURCE_DIR}/NEWS.md _headings REGEX "^## ")
list(FILTER _headings EXCLUDE REGEX "^## Unreleased *$")
list(GET _headings 0 _news)
if(NOT _news MATCHES "^## ${VERSION}( |$)")
    list(APPEND _errors "NEWS.md starts with \"${_news}\", not a \"## ${VERSION}\" section")
endif()

if(_errors)
    list(JOIN _errors "\n" _text)
    message(FATAL_ERROR "${_text}")
endif()
message(STATUS "version ${VERSION}: CMakeLists.txt, debian/changelog and NEWS.md agree")
