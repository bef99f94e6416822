# Debian packages, one per install component:
#
#   component      package            contents
#   kinemap        libkinemap2        libkinemap.so.2
#   kinemap-dev    libkinemap-dev     header, libkinemap.so, kinemap.pc, CMake package,
#                                     manual pages, the C++ example
#   seekwell       libseekwell2       libseekwell.so.2
#   seekwell-finder libseekwell2-finder-gupnp  the finder helper (the only part on GLib)
#   seekwell-dev   libseekwell-dev    headers, libseekwell.so, seekwell.pc, CMake package,
#                                     manual pages, the C, GLib and Qt examples
#   tools          seekwell-tools     seekwell-discover, kinemap-info, the robot simulator,
#                                     seekwell-simlan
#   python         python3-seekwell   the Python packages seekwell and kinemap, the
#                                     Python example host
#
# Make them from a build configured with -DCMAKE_INSTALL_PREFIX=/usr (so the
# libraries land in the multiarch directory) with packaging/build-debs.sh: it
# builds with Debian's compiler flags, runs `cpack -G DEB` and finishes the
# control areas where CPack cannot (packaging/finish-debs.sh).

set(ROVA_PACKAGE_MAINTAINER "ROVA Host Libraries Team <rova-host@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(ROVA_DEBIAN_REVISION 1)
set(ROVA_SOURCE_PACKAGE rova-host-libraries)
set(ROVA_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}/../packaging")
cmake_path(NORMAL_PATH ROVA_PACKAGING_DIR)

set(ROVA_PACKAGE_COMPONENTS seekwell seekwell-dev kinemap kinemap-dev tools)
# Without GUPnP the helper is not built, and its package not made.
if(TARGET seekwell-finder-gupnp)
  list(APPEND ROVA_PACKAGE_COMPONENTS seekwell-finder)
endif()
# The Python package's metadata is made by Debian's interpreter.
if(ROVA_SYSTEM_PYTHON)
  list(APPEND ROVA_PACKAGE_COMPONENTS python)
endif()

set(ROVA_PACKAGE_NAME_kinemap libkinemap2)
set(ROVA_PACKAGE_NAME_kinemap-dev libkinemap-dev)
set(ROVA_PACKAGE_NAME_seekwell libseekwell2)
set(ROVA_PACKAGE_NAME_seekwell-finder libseekwell2-finder-gupnp)
set(ROVA_PACKAGE_NAME_seekwell-dev libseekwell-dev)
set(ROVA_PACKAGE_NAME_tools seekwell-tools)
set(ROVA_PACKAGE_NAME_python python3-seekwell)

# Debian wants manual pages and changelogs compressed with gzip -9n (no name,
# no time stamp, so the packages stay reproducible).
find_program(ROVA_GZIP gzip REQUIRED)
function(rova_install_gzipped source destination component)
  get_filename_component(name "${source}" NAME)
  set(compressed "${CMAKE_BINARY_DIR}/packaging/${component}/${name}.gz")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging/${component}")
  execute_process(COMMAND "${ROVA_GZIP}" -9nc "${source}"
    OUTPUT_FILE "${compressed}" COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  install(FILES "${compressed}" DESTINATION "${destination}" COMPONENT ${component})
endfunction()

# Every package carries its copyright file and changelog under its own name,
# and the lintian overrides, each with its reason.
foreach(component IN LISTS ROVA_PACKAGE_COMPONENTS)
  set(package ${ROVA_PACKAGE_NAME_${component}})
  set(docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}")
  install(FILES "${ROVA_PACKAGING_DIR}/debian/copyright" DESTINATION "${docdir}"
    COMPONENT ${component})
  rova_install_gzipped("${ROVA_PACKAGING_DIR}/debian/changelog.Debian" "${docdir}" ${component})
  install(FILES "${ROVA_PACKAGING_DIR}/debian/lintian-overrides"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME ${package}
    COMPONENT ${component})
endforeach()

# The example hosts go with the development package of the library they use,
# with the CMakeLists.txt that builds whichever of them lie beside it against
# the installed packages.
set(ROVA_EXAMPLES_DIR "${ROVA_PACKAGING_DIR}/../examples")
cmake_path(NORMAL_PATH ROVA_EXAMPLES_DIR)
set(ROVA_EXAMPLES_kinemap-dev cpp-body)
set(ROVA_EXAMPLES_seekwell-dev c-discover glib-worker c-poll glib-live qt-live)
foreach(component IN ITEMS kinemap-dev seekwell-dev)
  set(examples_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${ROVA_PACKAGE_NAME_${component}}/examples")
  install(FILES "${ROVA_EXAMPLES_DIR}/CMakeLists.txt" DESTINATION "${examples_dir}"
    COMPONENT ${component})
  foreach(example IN LISTS ROVA_EXAMPLES_${component})
    install(DIRECTORY "${ROVA_EXAMPLES_DIR}/${example}" DESTINATION "${examples_dir}" COMPONENT ${component})
  endforeach()
endforeach()

# The libraries' manual pages, in the development packages, each in the
# section its name ends with.
set(ROVA_LIBRARY_PAGES_seekwell-dev DiscoveryROVAByUPnP.3 seekwell.7
    seekwell_search_start.3 seekwell_search_fd.3 seekwell_search_dispatch.3
    seekwell_search_wait.3 seekwell_search_cancel.3 seekwell_search_free.3
    seekwell_blocking_search_path.3)
set(ROVA_LIBRARY_PAGES_kinemap-dev CKinemap.3 KinemapLoadString.3 KinemapGetString.3)
foreach(component IN ITEMS seekwell-dev kinemap-dev)
  foreach(page IN LISTS ROVA_LIBRARY_PAGES_${component})
    cmake_path(GET page EXTENSION LAST_ONLY suffix)
    string(SUBSTRING "${suffix}" 1 -1 section)
    rova_install_gzipped("${ROVA_PACKAGING_DIR}/man/${page}" "${CMAKE_INSTALL_MANDIR}/man${section}"
      ${component})
  endforeach()
endforeach()

# A tool's manual page is named after its target; some are written, some made from templates.
file(GLOB ROVA_MANUAL_PAGES CONFIGURE_DEPENDS "${ROVA_PACKAGING_DIR}/man/*.1" "${ROVA_GENERATED_MAN_DIR}/*.1")
foreach(page IN LISTS ROVA_MANUAL_PAGES)
  get_filename_component(tool "${page}" NAME_WE)
  if(TARGET ${tool})
    rova_install_gzipped("${page}" "${CMAKE_INSTALL_MANDIR}/man1" tools)
  endif()
endforeach()

# The Python package goes where Debian's own Python modules lie, with the
# metadata its build backend writes for a wheel, so that pip and
# importlib.metadata know it. No RECORD: the files are dpkg's, not pip's to
# remove; INSTALLER says so when pip is asked to.
if(python IN_LIST ROVA_PACKAGE_COMPONENTS)
  set(ROVA_PYTHON_DIR "${ROVA_PACKAGING_DIR}/../python")
  cmake_path(NORMAL_PATH ROVA_PYTHON_DIR)
  set(ROVA_PYTHON_DIST_PACKAGES lib/python3/dist-packages)
  set(ROVA_PYTHON_METADATA_DIR "${CMAKE_BINARY_DIR}/packaging/python/metadata")
  set(ROVA_PYTHON_DIST_INFO "${ROVA_PYTHON_METADATA_DIR}/seekwell-${PROJECT_VERSION}.dist-info")
  add_custom_command(OUTPUT "${ROVA_PYTHON_DIST_INFO}/METADATA"
    COMMAND "${ROVA_SYSTEM_PYTHON}" -B "${ROVA_PYTHON_DIR}/build_backend/rova_build.py"
            "${ROVA_PYTHON_METADATA_DIR}"
    DEPENDS "${ROVA_PYTHON_DIR}/pyproject.toml" "${ROVA_PYTHON_DIR}/README.md"
            "${ROVA_PYTHON_DIR}/build_backend/rova_build.py" "${ROVA_PYTHON_DIR}/src/seekwell/_libraries.py"
    COMMENT "Writing the Python package's metadata" VERBATIM)
  add_custom_target(python_metadata ALL DEPENDS "${ROVA_PYTHON_DIST_INFO}/METADATA")
  file(WRITE "${CMAKE_BINARY_DIR}/packaging/python/INSTALLER" "debian\n")
  install(DIRECTORY "${ROVA_PYTHON_DIR}/src/seekwell" "${ROVA_PYTHON_DIR}/src/kinemap"
    DESTINATION ${ROVA_PYTHON_DIST_PACKAGES} COMPONENT python
    PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
  install(DIRECTORY "${ROVA_PYTHON_DIST_INFO}" DESTINATION ${ROVA_PYTHON_DIST_PACKAGES}
    COMPONENT python)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/python/INSTALLER"
    DESTINATION "${ROVA_PYTHON_DIST_PACKAGES}/seekwell-${PROJECT_VERSION}.dist-info" COMPONENT python)
  install(FILES "${ROVA_EXAMPLES_DIR}/python/rova_host.py"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${ROVA_PACKAGE_NAME_python}/examples" COMPONENT python)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ROVA_SOURCE_PACKAGE})
set(CPACK_PACKAGE_VENDOR "ROVA")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ROVA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${ROVA_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE ${ROVA_DEBIAN_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${ROVA_SOURCE_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link libraries built here, not yet known to dpkg: let
# dpkg-shlibdeps find them in the build tree (the component dependencies
# below name their packages).
foreach(library IN ITEMS kinemap seekwell)
  get_target_property(directory ${library} LIBRARY_OUTPUT_DIRECTORY)
  if(NOT directory)
    get_target_property(directory ${library} BINARY_DIR)
  endif()
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${directory}")
endforeach()
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Libraries register with ldconfig through dpkg's trigger. (CPack adds its own
# ldconfig calls to postinst and postrm too: packaging/finish-debs.sh drops
# them, and adds each library package's symbols file, made by
# dpkg-gensymbols from packaging/debian/<package>.symbols and the library.)
set(ROVA_LDCONFIG_TRIGGER "${ROVA_PACKAGING_DIR}/debian/triggers")

set(CPACK_DEBIAN_KINEMAP_PACKAGE_NAME ${ROVA_PACKAGE_NAME_kinemap})
set(CPACK_DEBIAN_KINEMAP_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_KINEMAP_PACKAGE_CONTROL_EXTRA "${ROVA_LDCONFIG_TRIGGER}")
set(CPACK_COMPONENT_KINEMAP_DESCRIPTION
"body description of ROVA robots - shared library
Kinemap tells a host application how a ROVA robot's body is built: the
identifiers of its joints, which joint sits in each body slot, the design's
sensor slots and the hardware locator of every slot. It also carries the
colour and model names in English and Japanese.
.
This package contains the shared library.")

set(CPACK_DEBIAN_KINEMAP-DEV_PACKAGE_NAME ${ROVA_PACKAGE_NAME_kinemap-dev})
set(CPACK_DEBIAN_KINEMAP-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_KINEMAP-DEV_DEPENDS kinemap)
set(CPACK_COMPONENT_KINEMAP-DEV_DESCRIPTION
"body description of ROVA robots - development files
Kinemap tells a host application how a ROVA robot's body is built: the
identifiers of its joints, which joint sits in each body slot, the design's
sensor slots and the hardware locator of every slot.
.
This package contains the header, the pkg-config file, the CMake package
(find_package(Kinemap), target Kinemap::kinemap), the manual pages and an
example host in C++.")

set(CPACK_DEBIAN_SEEKWELL_PACKAGE_NAME ${ROVA_PACKAGE_NAME_seekwell})
# libseekwell loads libcurl with dlopen, which dpkg-shlibdeps cannot see: the
# package that ships the libcurl it was built for is named here, at the version
# the library checks for.
get_filename_component(_libcurl_directory "${SEEKWELL_LIBCURL_FILE}" DIRECTORY)
file(REAL_PATH "${_libcurl_directory}/${SEEKWELL_LIBCURL_SONAME}" _libcurl_runtime)
find_program(ROVA_DPKG_QUERY dpkg-query)
if(ROVA_DPKG_QUERY)
  execute_process(COMMAND "${ROVA_DPKG_QUERY}" -S "${_libcurl_runtime}"
    OUTPUT_VARIABLE _libcurl_owner RESULT_VARIABLE _libcurl_unowned ERROR_QUIET)
endif()
if(ROVA_DPKG_QUERY AND _libcurl_unowned EQUAL 0 AND _libcurl_owner MATCHES "^([^:,]+)")
  set(CPACK_DEBIAN_SEEKWELL_PACKAGE_DEPENDS "${CMAKE_MATCH_1} (>= ${SEEKWELL_LIBCURL_MIN_VERSION})")
else()
  message(STATUS "No Debian package owns ${_libcurl_runtime}: libseekwell2 will not name libcurl's")
endif()
set(CPACK_DEBIAN_SEEKWELL_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SEEKWELL_PACKAGE_CONTROL_EXTRA "${ROVA_LDCONFIG_TRIGGER}")
set(CPACK_COMPONENT_SEEKWELL_DESCRIPTION
"finds ROVA robots on the local network - shared library
Seekwell runs one blocking search for ROVA robots on the local network and
reports each robot's friendly name and address. It searches through its
UPnP finder helper, a program of its own, when that is installed, and
otherwise with its own SSDP search and description check.
.
This package contains the shared library; it needs no GLib. The finder
helper comes in libseekwell2-finder-gupnp, which is recommended.")
set(CPACK_DEBIAN_SEEKWELL_PACKAGE_RECOMMENDS ${ROVA_PACKAGE_NAME_seekwell-finder})

set(CPACK_DEBIAN_SEEKWELL-FINDER_PACKAGE_NAME ${ROVA_PACKAGE_NAME_seekwell-finder})
set(CPACK_DEBIAN_SEEKWELL-FINDER_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_SEEKWELL-FINDER_DEPENDS seekwell)
set(CPACK_COMPONENT_SEEKWELL-FINDER_DESCRIPTION
"finds ROVA robots on the local network - UPnP finder helper
Seekwell runs one blocking search for ROVA robots on the local network and
reports each robot's friendly name and address.
.
This package contains the finder helper, a program the library starts for
each search to find the robots through a GUPnP control point. Without it
the library searches on its own. The helper needs GLib, GSSDP, GUPnP and
libsoup; the library itself does not.")

set(CPACK_DEBIAN_SEEKWELL-DEV_PACKAGE_NAME ${ROVA_PACKAGE_NAME_seekwell-dev})
set(CPACK_DEBIAN_SEEKWELL-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_SEEKWELL-DEV_DEPENDS seekwell)
set(CPACK_COMPONENT_SEEKWELL-DEV_DESCRIPTION
"finds ROVA robots on the local network - development files
Seekwell runs one blocking search for ROVA robots on the local network and
reports each robot's friendly name and address.
.
This package contains the C headers, the pkg-config file, the CMake package
(find_package(Seekwell), target Seekwell::seekwell), the manual page and
example hosts in C, on a GLib main loop and in a Qt window.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ROVA_PACKAGE_NAME_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS kinemap seekwell)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"command-line tools for ROVA robots
seekwell-discover lists the ROVA robots on the local network, kinemap-info
prints a robot design's body description and names, and seekwell-robot-sim
answers searches like one or more robots, for trying hosts out on a private
network.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${ROVA_PACKAGE_NAME_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.9)")
set(CPACK_COMPONENT_PYTHON_DEPENDS seekwell kinemap)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  "${ROVA_PACKAGING_DIR}/debian/${ROVA_PACKAGE_NAME_python}/postinst"
  "${ROVA_PACKAGING_DIR}/debian/${ROVA_PACKAGE_NAME_python}/prerm")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"ROVA robots from Python 3
The Python package seekwell finds ROVA robots on the local network and
reports each robot's friendly name and address; kinemap tells how a robot
design's body is built and carries the colour and model names in English
and Japanese. Both are pure Python over the shared libraries, loaded with
ctypes.
.
This package contains the Python 3 modules and an example host.")

include(CPack)
