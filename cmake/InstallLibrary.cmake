# Installs one of the project's shared libraries the same way for both: the
# library in component <component>; its public headers, the unversioned link,
# a relocatable pkg-config file and a CMake package in <component>-dev.
#
# install_rova_library(<target> PACKAGE <CMakePackageName> COMPONENT <component>
#                      DESCRIPTION <pkg-config description> HEADERS <header>...)
include(CMakePackageConfigHelpers)

set(ROVA_CMAKE_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})

function(install_rova_library target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "PACKAGE;COMPONENT;DESCRIPTION" "HEADERS")
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${ARG_PACKAGE})
  set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  set(dev_component ${ARG_COMPONENT}-dev)

  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS ${target} EXPORT ${ARG_PACKAGE}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      COMPONENT ${ARG_COMPONENT} NAMELINK_COMPONENT ${dev_component}
  )
  install(FILES ${ARG_HEADERS}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${target} COMPONENT ${dev_component}
  )
  install(EXPORT ${ARG_PACKAGE}Targets NAMESPACE ${ARG_PACKAGE}::
    DESTINATION ${cmake_dir} COMPONENT ${dev_component}
  )

  set(ROVA_PACKAGE ${ARG_PACKAGE})
  configure_package_config_file(${ROVA_CMAKE_TEMPLATES}/PackageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${ARG_PACKAGE}Config.cmake
    INSTALL_DESTINATION ${cmake_dir}
  )
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${ARG_PACKAGE}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
  )
  install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${ARG_PACKAGE}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${ARG_PACKAGE}ConfigVersion.cmake
    DESTINATION ${cmake_dir} COMPONENT ${dev_component}
  )

  # Relocatable: the prefix is found from the .pc file's own place.
  file(RELATIVE_PATH ROVA_PC_TO_PREFIX /${pkgconfig_dir} /)
  string(REGEX REPLACE "/$" "" ROVA_PC_TO_PREFIX "${ROVA_PC_TO_PREFIX}")
  set(ROVA_PC_NAME ${target})
  set(ROVA_PC_DESCRIPTION ${ARG_DESCRIPTION})
  configure_file(${ROVA_CMAKE_TEMPLATES}/library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc
    DESTINATION ${pkgconfig_dir} COMPONENT ${dev_component}
  )
endfunction()
