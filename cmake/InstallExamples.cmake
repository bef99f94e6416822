# The example hosts, as sources that build against the install they come with,
# into <prefix>/share/doc/seekwell/examples. Each -dev component brings the
# examples of its library and the CMakeLists.txt that builds all present ones,
# so a Seekwell-only install builds its examples without Kinemap; Seekwell's
# bring common/, the header with which they show LAN text. The Python example
# comes with the Python package's component. The Debian packages take them from
# there into /usr/share/doc/<package>/examples (debian/*.examples).

set(ROVA_EXAMPLES_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../examples")
cmake_path(NORMAL_PATH ROVA_EXAMPLES_SOURCE)
set(ROVA_EXAMPLES_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/seekwell/examples")
set(ROVA_EXAMPLES_kinemap-dev cpp-body)
set(ROVA_EXAMPLES_seekwell-dev common c-discover glib-worker c-poll glib-live qt-live)

foreach(component IN ITEMS kinemap-dev seekwell-dev)
  install(FILES "${ROVA_EXAMPLES_SOURCE}/CMakeLists.txt" DESTINATION "${ROVA_EXAMPLES_DIR}" COMPONENT ${component})
  foreach(example IN LISTS ROVA_EXAMPLES_${component})
    install(DIRECTORY "${ROVA_EXAMPLES_SOURCE}/${example}" DESTINATION "${ROVA_EXAMPLES_DIR}" COMPONENT ${component})
  endforeach()
endforeach()
install(FILES "${ROVA_EXAMPLES_SOURCE}/python/rova_host.py" DESTINATION "${ROVA_EXAMPLES_DIR}/python" COMPONENT python)
