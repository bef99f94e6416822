# Runs at install time: writes a library's .pc file for the prefix of this
# install (`cmake --install --prefix` included) and installs it. Paths under
# the prefix are written through ${prefix}, plainly, so pkg-config recognises
# the system directories of an install into /usr and leaves them out.
#
# Expects ROVA_PC_TEMPLATE, ROVA_PC_FILE (the file to write in the build tree),
# ROVA_PC_LIBDIR, ROVA_PC_INCLUDEDIR (as configured, relative or absolute) and
# ROVA_PC_DIR (the .pc file's directory, relative to the prefix or absolute).
# A relative --prefix is taken from where `cmake --install` runs, as the files are.
get_filename_component(ROVA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
string(REGEX REPLACE "(.)/$" "\\1" ROVA_PC_PREFIX "${ROVA_PC_PREFIX}")

function(rova_pc_path variable directory)
  if(IS_ABSOLUTE "${directory}")
    set(${variable} "${directory}" PARENT_SCOPE)
  else()
    set(${variable} "\${prefix}/${directory}" PARENT_SCOPE)
  endif()
endfunction()
rova_pc_path(ROVA_PC_LIBDIR "${ROVA_PC_LIBDIR}")
rova_pc_path(ROVA_PC_INCLUDEDIR "${ROVA_PC_INCLUDEDIR}")

configure_file("${ROVA_PC_TEMPLATE}" "${ROVA_PC_FILE}" @ONLY)
if(NOT IS_ABSOLUTE "${ROVA_PC_DIR}")
  set(ROVA_PC_DIR "${CMAKE_INSTALL_PREFIX}/${ROVA_PC_DIR}")
endif()
file(INSTALL DESTINATION "${ROVA_PC_DIR}" TYPE FILE FILES "${ROVA_PC_FILE}")
