# libcurl is loaded with dlopen on the first search, not linked: hosts that
# never search do not pay for it and the thirty libraries it brings. The build
# needs only its headers, and learns from the development library which file
# to load (its SONAME) and which symbol version its functions carry.
#
# Sets, for the whole project (tests and packaging too): SEEKWELL_LIBCURL_SONAME,
# SEEKWELL_LIBCURL_SYMBOL_VERSION (empty for a libcurl without versioned
# symbols), SEEKWELL_LIBCURL_FILE (the development library),
# SEEKWELL_LIBCURL_MIN_VERSION and the interface target
# seekwell_libcurl_binding, which carries the headers and these facts as
# definitions.

# CURLOPT_PROTOCOLS_STR came with 7.85.0.
set(SEEKWELL_LIBCURL_MIN_VERSION 7.85.0 CACHE INTERNAL "")

find_package(CURL ${SEEKWELL_LIBCURL_MIN_VERSION} REQUIRED)
get_target_property(_libcurl_file CURL::libcurl LOCATION)

execute_process(COMMAND "${CMAKE_OBJDUMP}" -p "${_libcurl_file}"
  OUTPUT_VARIABLE _libcurl_headers COMMAND_ERROR_IS_FATAL ANY)
if(NOT _libcurl_headers MATCHES "\n *SONAME +([^\n ]+)")
  message(FATAL_ERROR "${_libcurl_file} has no SONAME to load it by")
endif()
set(SEEKWELL_LIBCURL_SONAME "${CMAKE_MATCH_1}" CACHE INTERNAL "")

execute_process(COMMAND "${CMAKE_OBJDUMP}" -T "${_libcurl_file}"
  OUTPUT_VARIABLE _libcurl_symbols COMMAND_ERROR_IS_FATAL ANY)
if(NOT _libcurl_symbols MATCHES "[ \t]\\(?([A-Za-z0-9_.]+)\\)?[ \t]+curl_easy_init\n")
  message(FATAL_ERROR "${_libcurl_file} does not export curl_easy_init")
endif()
set(_libcurl_symbol_version "${CMAKE_MATCH_1}")
if(_libcurl_symbol_version STREQUAL "Base")
  set(_libcurl_symbol_version "")
endif()
set(SEEKWELL_LIBCURL_SYMBOL_VERSION "${_libcurl_symbol_version}" CACHE INTERNAL "")
set(SEEKWELL_LIBCURL_FILE "${_libcurl_file}" CACHE INTERNAL "")

string(REPLACE "." ";" _libcurl_parts "${SEEKWELL_LIBCURL_MIN_VERSION}")
list(GET _libcurl_parts 0 _major)
list(GET _libcurl_parts 1 _minor)
list(GET _libcurl_parts 2 _patch)
math(EXPR _libcurl_min_version_num "(${_major} << 16) | (${_minor} << 8) | ${_patch}"
  OUTPUT_FORMAT HEXADECIMAL)

add_library(seekwell_libcurl_binding INTERFACE)
target_include_directories(seekwell_libcurl_binding INTERFACE
  ${CURL_INCLUDE_DIRS})
target_compile_definitions(seekwell_libcurl_binding INTERFACE
  SEEKWELL_LIBCURL_SONAME="${SEEKWELL_LIBCURL_SONAME}"
  SEEKWELL_LIBCURL_SYMBOL_VERSION="${SEEKWELL_LIBCURL_SYMBOL_VERSION}"
  SEEKWELL_LIBCURL_MIN_VERSION_NUM=${_libcurl_min_version_num}
)
message(STATUS "libcurl loaded at run time as ${SEEKWELL_LIBCURL_SONAME}, "
               "symbol version '${SEEKWELL_LIBCURL_SYMBOL_VERSION}'")
