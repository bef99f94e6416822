# Installs one of the project's shared libraries the same way for both: the
# library in component <component>; its public headers, the unversioned link,
# a pkg-config file for the prefix it is installed into and a relocatable
# CMake package in <component>-dev.
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

  # The .pc file is written when installing, for the prefix of that install.
  install(CODE "block()
    set(ROVA_PC_TEMPLATE \"${ROVA_CMAKE_TEMPLATES}/library.pc.in\")
    set(ROVA_PC_FILE \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${target}.pc\")
    set(ROVA_PC_NAME \"${target}\")
    set(ROVA_PC_DESCRIPTION \"${ARG_DESCRIPTION}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(ROVA_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(ROVA_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(ROVA_PC_DIR \"${pkgconfig_dir}\")
    include(\"${ROVA_CMAKE_TEMPLATES}/WritePkgConfig.cmake\")
    endblock()" COMPONENT ${dev_component})
endfunction()
