# What an install carries beside the libraries and tools, into any prefix:
# the manual pages, the examples (InstallExamples.cmake), and the Python
# package where that prefix's python3 finds it. Nothing here is Debian's: the
# Debian packages (debian/) add their own files and build the Python package
# with pybuild.
#
# Install components: kinemap, kinemap-dev, seekwell, seekwell-finder,
# seekwell-dev, tools and python.

set(ROVA_MAN_DIR "${CMAKE_CURRENT_LIST_DIR}/../packaging/man")
cmake_path(NORMAL_PATH ROVA_MAN_DIR)

# rova_install_page(<page> <component>): into the section its name ends with.
function(rova_install_page page component)
  cmake_path(GET page EXTENSION LAST_ONLY suffix)
  string(SUBSTRING "${suffix}" 1 -1 section)
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}" COMPONENT ${component})
endfunction()

set(ROVA_LIBRARY_PAGES_seekwell-dev DiscoveryROVAByUPnP.3 seekwell.7
    seekwell_search_start.3 seekwell_search_fd.3 seekwell_search_dispatch.3
    seekwell_search_wait.3 seekwell_search_cancel.3 seekwell_search_free.3
    seekwell_blocking_search_path.3 seekwell_version.3 seekwell_check_targets.3)
set(ROVA_LIBRARY_PAGES_kinemap-dev CKinemap.3 KinemapLoadString.3 KinemapGetString.3)
foreach(component IN ITEMS seekwell-dev kinemap-dev)
  foreach(page IN LISTS ROVA_LIBRARY_PAGES_${component})
    rova_install_page("${ROVA_MAN_DIR}/${page}" ${component})
  endforeach()
endforeach()

include("${CMAKE_CURRENT_LIST_DIR}/InstallExamples.cmake")

# A tool's manual page is named after its target; some are written, some made from templates.
file(GLOB ROVA_TOOL_PAGES CONFIGURE_DEPENDS "${ROVA_MAN_DIR}/*.1" "${ROVA_GENERATED_MAN_DIR}/*.1")
foreach(page IN LISTS ROVA_TOOL_PAGES)
  get_filename_component(tool "${page}" NAME_WE)
  if(TARGET ${tool})
    rova_install_page("${page}" tools)
  endif()
endforeach()

# The Python package: into the directory that the prefix's own python3 (a
# virtual environment's, say) or Debian's searches under that prefix, decided
# when installing, so that `cmake --install --prefix` is followed. Under a
# prefix no python3 searches it is left out, with a message, unless
# ROVA_PYTHON_DIR names a directory.
option(ROVA_INSTALL_PYTHON "Install the Python package with the libraries" ON)
# A STRING, not a PATH: CMake would take a relative PATH given with -D from the folder cmake ran in.
set(ROVA_PYTHON_DIR "" CACHE STRING
    "Where to install the Python package (relative to the prefix, or absolute); empty: where the prefix's python3 looks")
if(ROVA_INSTALL_PYTHON AND ROVA_SYSTEM_PYTHON)
  set(ROVA_PYTHON_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../python/src")
  cmake_path(NORMAL_PATH ROVA_PYTHON_SOURCE)
  install(CODE "block()
    set(ROVA_PYTHON_SOURCE \"${ROVA_PYTHON_SOURCE}\")
    set(ROVA_PYTHON_DIR \"${ROVA_PYTHON_DIR}\")
    set(ROVA_SYSTEM_PYTHON \"${ROVA_SYSTEM_PYTHON}\")
    set(ROVA_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(ROVA_LIBDIR_FILE \"${CMAKE_CURRENT_BINARY_DIR}/python-libdir/_libdir\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/InstallPythonPackage.cmake\")
    endblock()" COMPONENT python)
endif()
