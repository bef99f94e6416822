# Runs at install time: installs the Python packages seekwell and kinemap for
# the prefix of this install.
#
# Expects ROVA_PYTHON_SOURCE (the packages' parent directory), ROVA_PYTHON_DIR
# (empty, or where to install, relative to the prefix or absolute),
# ROVA_SYSTEM_PYTHON (Debian's interpreter), ROVA_LIBDIR (the libraries' folder,
# relative to the prefix or absolute) and ROVA_LIBDIR_FILE (where to write the
# package's note of that folder in the build tree).
get_filename_component(prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

if(ROVA_PYTHON_DIR)
  cmake_path(ABSOLUTE_PATH ROVA_PYTHON_DIR BASE_DIRECTORY "${prefix}" OUTPUT_VARIABLE directory)
else()
  # The prefix's own interpreter knows its directories; else Debian's, which
  # looks in lib/python3/dist-packages under /usr and in
  # lib/python3.N/dist-packages under /usr/local.
  set(python "${prefix}/bin/python3")
  if(NOT EXISTS "${python}")
    set(python "${ROVA_SYSTEM_PYTHON}")
  endif()
  execute_process(
    COMMAND "${python}" -I -c [[
import os, site, sys
prefix = os.path.realpath(sys.argv[1])
for directory in site.getsitepackages():
    relative = os.path.relpath(os.path.realpath(directory), prefix)
    if relative.split(os.sep)[0] == "lib":
        print(directory)
        break
]] "${prefix}"
    OUTPUT_VARIABLE directory OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(directory "")
  endif()
endif()

if(NOT directory)
  message(STATUS "Python package not installed: no python3 looks for packages under ${prefix}. "
                 "Install it with pip (python/README.md), or configure the build again with "
                 "-DROVA_PYTHON_DIR=DIR (relative to the prefix, or absolute), then install")
  return()
endif()
file(INSTALL DESTINATION "${directory}" TYPE DIRECTORY
     FILES "${ROVA_PYTHON_SOURCE}/seekwell" "${ROVA_PYTHON_SOURCE}/kinemap"
     PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)

# The package loads the libraries of this prefix before any other: it notes their folder,
# relative to itself, so that the prefix can move as a whole.
cmake_path(ABSOLUTE_PATH ROVA_LIBDIR BASE_DIRECTORY "${prefix}" OUTPUT_VARIABLE libdir)
cmake_path(RELATIVE_PATH libdir BASE_DIRECTORY "${directory}/seekwell")
file(WRITE "${ROVA_LIBDIR_FILE}" "${libdir}\n")
file(INSTALL DESTINATION "${directory}/seekwell" TYPE FILE FILES "${ROVA_LIBDIR_FILE}")
