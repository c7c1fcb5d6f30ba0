# Debian packages of a shared build: `cpack -G DEB` in the build tree (see
# `./dev.sh package`). Runtime dependencies come from dpkg-shlibdeps, so they
# name Debian's runtime packages (libopusfile0, libflac12, ...), never -dev ones.
set(CPACK_PACKAGE_NAME musiccore)
set(CPACK_PACKAGE_VENDOR "the musiccore authors")
set(CPACK_PACKAGE_CONTACT "the musiccore authors <musiccore@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Exact durations and tags of Ogg Opus, Vorbis, FLAC and MP3 files")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(MUSICCORE_BUILD_CLI)
  list(APPEND CPACK_COMPONENTS_ALL cli)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The command's own library is in this tree, not in a package yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_CLI_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${musiccore_runtime_package}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "core library of a small music application\n Clock-style timestamps, a brace formatter, exact durations and tags of Ogg Opus,\n Ogg Vorbis, FLAC and MP3 files,\n and a folder scan.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "${musiccore_development_package}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "core library of a small music application (development files)\n Headers, CMake package and pkg-config file of musiccore.")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME "${musiccore_cli_package}")
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_CLI_DESCRIPTION
  "exact durations and tags of music files\n The musiccore command scans music folders and shows files as a table,\n JSON or CSV.")
include(CPack)
