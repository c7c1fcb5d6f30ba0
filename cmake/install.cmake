# Installs the library, its headers under musiccore/, a CMake package
# (find_package(musiccore CONFIG)) and a pkg-config file, in three components:
# runtime (the shared library), development (everything to build against it)
# and cli (the musiccore command, installed from cli/).
include(CMakePackageConfigHelpers)

set(musiccore_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/musiccore")
get_target_property(musiccore_type musiccore TYPE)

install(TARGETS musiccore EXPORT musiccoreTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime
          NAMELINK_COMPONENT development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
)
# The reader program goes with the library, where it looks for it, and is exported as
# musiccore::reader for programs that install it beside themselves.
install(TARGETS musiccore_reader EXPORT musiccoreTargets
  RUNTIME DESTINATION "${musiccore_reader_dir}" COMPONENT runtime)
install(FILES ${musiccore_public_headers} ${musiccore_generated_headers}
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/musiccore" COMPONENT development)
install(EXPORT musiccoreTargets NAMESPACE musiccore:: DESTINATION "${musiccore_cmake_dir}"
  COMPONENT development)

# Only a static library's users link its dependencies, so only they need to find
# them.
if(musiccore_type STREQUAL "STATIC_LIBRARY")
  set(musiccore_static ON)
  string(REPLACE ";" " " musiccore_pc_modules "${musiccore_pkg_modules}")
  string(REPLACE ";" " " musiccore_format_list "${musiccore_format_modules}")
  string(REPLACE ";" " " musiccore_index_list "${musiccore_index_modules}")
  set(musiccore_pc_requires "Requires: ${musiccore_pc_modules}")
else()
  set(musiccore_static OFF)
  set(musiccore_pc_requires "")
endif()
configure_package_config_file(cmake/musiccoreConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfig.cmake"
  INSTALL_DESTINATION "${musiccore_cmake_dir}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfigVersion.cmake"
  COMPATIBILITY ${musiccore_compatibility})
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfigVersion.cmake"
  DESTINATION "${musiccore_cmake_dir}" COMPONENT development)

# Relative to the .pc file, so that the package works wherever it is installed
# (cmake --install --prefix chooses that after configuring).
file(RELATIVE_PATH musiccore_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" musiccore_pc_to_prefix "${musiccore_pc_to_prefix}")
configure_file(cmake/musiccore.pc.in "${CMAKE_CURRENT_BINARY_DIR}/musiccore.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/musiccore.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)

# The licence and the changelog (compressed, as Debian has them), where each Debian
# package carries them.
set(musiccore_changelog "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz")
add_custom_command(OUTPUT "${musiccore_changelog}"
  COMMAND gzip -9 -n -c "${CMAKE_CURRENT_SOURCE_DIR}/cmake/changelog" > "${musiccore_changelog}"
  DEPENDS cmake/changelog)
set(musiccore_manual "${CMAKE_CURRENT_BINARY_DIR}/musiccore.1.gz")
add_custom_command(OUTPUT "${musiccore_manual}"
  COMMAND gzip -9 -n -c "${CMAKE_CURRENT_SOURCE_DIR}/cli/musiccore.1" > "${musiccore_manual}"
  DEPENDS cli/musiccore.1)
add_custom_target(musiccore_docs ALL DEPENDS "${musiccore_changelog}" "${musiccore_manual}")
function(musiccore_install_copyright component package)
  install(FILES LICENSE DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}"
    RENAME copyright COMPONENT ${component})
  install(FILES "${musiccore_changelog}" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}"
    COMPONENT ${component})
endfunction()
set(musiccore_runtime_package "libmusiccore${musiccore_soversion}")
set(musiccore_development_package libmusiccore-dev)
set(musiccore_cli_package musiccore)
musiccore_install_copyright(runtime "${musiccore_runtime_package}")
musiccore_install_copyright(development "${musiccore_development_package}")
if(MUSICCORE_BUILD_CLI)
  musiccore_install_copyright(cli "${musiccore_cli_package}")
  install(FILES "${musiccore_manual}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT cli)
endif()
