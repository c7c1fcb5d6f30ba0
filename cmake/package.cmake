# Debian packages of a shared build: `cpack -G DEB` in the build tree (see
# `./dev.sh package`). Runtime dependencies come from dpkg-shlibdeps, so they
# name Debian's runtime packages (libopusfile0, libflac12, ...), never -dev ones.
set(CPACK_PACKAGE_NAME musiccore)
set(CPACK_PACKAGE_VENDOR "the musiccore authors")
set(CPACK_PACKAGE_CONTACT "the musiccore authors <musiccore@users.noreply.github.com>")
# Each package's description: its synopsis, then the lines of its long description.
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
# Stripped, as Debian ships binaries: the build tree keeps the debug information (the
# ABI gate reads it).
set(CPACK_STRIP_FILES ON)
# The shared library's shlibs, and a trigger for ldconfig rather than maintainer
# scripts that call it, as Debian's policy has it.
set(musiccore_control "${PROJECT_BINARY_DIR}/debian-control")
file(MAKE_DIRECTORY "${musiccore_control}")
file(WRITE "${musiccore_control}/shlibs"
     "libmusiccore ${musiccore_soversion} ${musiccore_runtime_package} (>= ${PROJECT_VERSION})\n")
file(WRITE "${musiccore_control}/triggers" "activate-noawait ldconfig\n")
# CPack 3.25 still writes postinst and postrm scripts that call ldconfig:
# tools/make_packages.sh takes them out.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${musiccore_control}/shlibs;${musiccore_control}/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_CLI_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${musiccore_runtime_package}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "core library of a small music application\nClock-style timestamps, a brace formatter, exact durations, tags and\npictures of Ogg Opus, Ogg Vorbis, FLAC, MP3, MP4, WAV, AIFF and WavPack\nfiles, a folder scan and an SQLite index, with the sandboxed reader\nprogram that reads the files.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "${musiccore_development_package}")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "core library of a small music application (development files)\nHeaders, CMake package and pkg-config file of musiccore.")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME "${musiccore_cli_package}")
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_CLI_DESCRIPTION
  "command to list music files with exact durations and tags\nThe musiccore command scans music folders and shows files as a table,\nJSON or CSV, keeps an SQLite index of them, and writes their cover art.")
include(CPack)
