# Installs the library, its headers under musiccore/, a CMake package
# (find_package(musiccore CONFIG)) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(musiccore_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/musiccore")

install(TARGETS musiccore EXPORT musiccoreTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
)
install(FILES ${musiccore_public_headers} DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/musiccore")
install(EXPORT musiccoreTargets NAMESPACE musiccore:: DESTINATION "${musiccore_cmake_dir}")

configure_package_config_file(cmake/musiccoreConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfig.cmake"
  INSTALL_DESTINATION "${musiccore_cmake_dir}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/musiccoreConfigVersion.cmake"
  DESTINATION "${musiccore_cmake_dir}")

# A static library's users link opusfile too; a shared one's only need it found.
if(BUILD_SHARED_LIBS)
  set(musiccore_pc_requires "Requires.private: opusfile")
else()
  set(musiccore_pc_requires "Requires: opusfile")
endif()
# Relative to the .pc file, so that the package works wherever it is installed
# (cmake --install --prefix chooses that after configuring).
file(RELATIVE_PATH musiccore_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" musiccore_pc_to_prefix "${musiccore_pc_to_prefix}")
configure_file(cmake/musiccore.pc.in "${CMAKE_CURRENT_BINARY_DIR}/musiccore.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/musiccore.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
