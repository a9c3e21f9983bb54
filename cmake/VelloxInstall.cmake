# Install rules and the Debian package.
#
# `cmake --install` puts the static library, the public headers, the CMake
# package (find_package(vellox CONFIG) -> vellox::vellox, with a version
# file), a pkg-config file and, when the CLI is built, the `vellox` program
# with its manual page in the GNU locations under the prefix. `cpack` (see
# the `deb` package preset) makes vellox_<version>_<arch>.deb from the same
# rules.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELLOX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vellox)

# Installs FILE compressed as FILE.gz into DESTINATION, as Debian wants manual
# pages and changelogs (-n: no name or time stamp, so equal input gives equal
# bytes).
find_program(VELLOX_GZIP gzip REQUIRED)
function(vellox_install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  set(gzipped ${PROJECT_BINARY_DIR}/gzipped/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/gzipped
    COMMAND ${VELLOX_GZIP} -9nc ${file} > ${gzipped}
    DEPENDS ${file}
    COMMENT "Compressing ${name}")
  add_custom_target(vellox_gzip_${name} ALL DEPENDS ${gzipped})
  install(FILES ${gzipped} DESTINATION ${destination})
endfunction()

install(TARGETS vellox EXPORT velloxTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vellox ${PROJECT_BINARY_DIR}/generated/vellox
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT velloxTargets NAMESPACE vellox:: DESTINATION ${VELLOX_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velloxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velloxConfig.cmake
  INSTALL_DESTINATION ${VELLOX_CMAKE_DIR})
# Same major version: 1.x consumers keep building against any later 1.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velloxConfigVersion.cmake
  VERSION ${VELLOX_RELEASE_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velloxConfig.cmake ${PROJECT_BINARY_DIR}/velloxConfigVersion.cmake
  DESTINATION ${VELLOX_CMAKE_DIR})

# pkg-config names the prefix given at configure time; installing elsewhere
# (cmake --install --prefix) needs `pkg-config --define-variable=prefix=...`.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VELLOX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(VELLOX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VELLOX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VELLOX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vellox.pc.in ${PROJECT_BINARY_DIR}/vellox.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vellox.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vellox_cli)
  install(TARGETS vellox_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The manual page, with the version filled in.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/vellox.1.in ${PROJECT_BINARY_DIR}/man/vellox.1 @ONLY)
  vellox_install_gzipped(${PROJECT_BINARY_DIR}/man/vellox.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Debian's copyright and changelog, in the package's documentation folder.
set(VELLOX_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vellox)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${VELLOX_DOC_DIR})
vellox_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${VELLOX_DOC_DIR})

# --- Debian package ---------------------------------------------------------
set(VELLOX_PACKAGE_MAINTAINER "Vellox maintainers <maintainers@vellox.example>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME vellox)
set(CPACK_PACKAGE_VERSION ${VELLOX_RELEASE_VERSION})
set(CPACK_PACKAGE_VENDOR "Vellox")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "merge TIFF files into one multi-page TIFF without decoding")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELLOX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (package dpkg-dev) works out the libc, libstdc++ and zlib
# versions; the static library's users link zlib themselves (find_package
# and pkg-config look for it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zlib1g-dev")
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vellox merges TIFF files into one multi-page TIFF by copying their
structure: directories, values and raw image data. No pixel is decoded or
re-encoded, so every page lands in the output byte for byte, with every
offset rewritten for its new place.

This package holds the vellox command-line tool and the static C++20
library with its headers, CMake package (vellox::vellox) and pkg-config
file.")
include(CPack)
