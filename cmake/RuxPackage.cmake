# cmake --install: librux, its public headers, a CMake package (Rux::rux)
# and rux.pc, all in the component "dev"; the tools are the component
# "tools". cpack -G DEB turns the two into rux-tools and librux-dev.
include(CMakePackageConfigHelpers)

set(rux_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/Rux")
install(TARGETS rux EXPORT RuxTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev)
install(FILES ${RUX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rux COMPONENT dev)
install(EXPORT RuxTargets NAMESPACE Rux:: DESTINATION "${rux_cmake_dir}" COMPONENT dev)

# A static librux needs its inflation back end when a program is linked.
if(BUILD_SHARED_LIBS)
  set(RUX_NEEDS_BACK_END 0)
else()
  set(RUX_NEEDS_BACK_END 1)
endif()
configure_package_config_file(cmake/RuxConfig.cmake.in "${PROJECT_BINARY_DIR}/RuxConfig.cmake"
  INSTALL_DESTINATION "${rux_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/RuxConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/RuxConfig.cmake" "${PROJECT_BINARY_DIR}/RuxConfigVersion.cmake"
              cmake/FindLibdeflate.cmake
        DESTINATION "${rux_cmake_dir}" COMPONENT dev)

# rux.pc finds its prefix from where it lies, so the file is right in any
# --prefix and inside the packages alike.
file(RELATIVE_PATH RUX_PC_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" RUX_PC_PREFIX "${RUX_PC_PREFIX}")
set(rux_back_end zlib)
if(RUX_LIBDEFLATE)
  set(rux_back_end "libdeflate, zlib")
endif()
# A shared librux brings its back end along, so only a static link of the
# program needs it (Requires.private). A static librux is all there is to
# link against, so then a plain `pkg-config --libs rux` names it too.
set(RUX_PC_REQUIRES_PRIVATE "${rux_back_end}")
if(BUILD_SHARED_LIBS)
  set(RUX_PC_REQUIRES "")
else()
  set(RUX_PC_REQUIRES "${rux_back_end}")
endif()
configure_file(cmake/rux.pc.in "${PROJECT_BINARY_DIR}/rux.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/rux.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# Debian packages.
set(CPACK_PACKAGE_NAME rux)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "rux-extract")
set(RUX_PACKAGE_MAINTAINER "rux-extract developers <rux-extract@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${RUX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree, as Debian's packages do.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL tools dev)
if(TARGET rux-mount)
  list(APPEND CPACK_COMPONENTS_ALL mount)
endif()
if(RUX_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What Debian's policy asks of every package: gzipped manual pages, and a
# copyright file and changelog in /usr/share/doc/PACKAGE/ (added to the
# staged files only; cmake --install leaves the pages as they are).
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/RuxDebianDocs.cmake")
set(CPACK_RUX_COPYRIGHT "${CMAKE_CURRENT_LIST_DIR}/copyright")
set(CPACK_RUX_CHANGELOG "${CMAKE_CURRENT_LIST_DIR}/changelog")
file(STRINGS "${CPACK_RUX_CHANGELOG}" rux_changelog_top LIMIT_COUNT 1)
if(NOT rux_changelog_top MATCHES "^rux \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/changelog does not start with version ${PROJECT_VERSION}: add its entry")
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME rux-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# CPack indents the lines after the summary itself.
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "unpack, make and compare resource files (.rux)
rux-extract writes every resource of a resource file below a directory,
refusing unsafe names; rux-pack makes a resource file from a directory
tree, with stored, deflated and loose resources, or a patch of what
changed; rux-diff shows what changed between two resource files or trees.")

# rux-mount has a package of its own, so that rux-tools needs no FUSE.
set(CPACK_DEBIAN_MOUNT_PACKAGE_NAME rux-mount)
set(CPACK_DEBIAN_MOUNT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_MOUNT_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_MOUNT_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_MOUNT_DESCRIPTION "mount resource files (.rux) as a read-only file system
rux-mount shows the resources of one or more resource files as a tree of
read-only files through FUSE, the tree rux-extract writes; any byte of a
deflated resource is read by inflating only the blocks that hold it.")

# The Python package, for the one Python version it was built against.
math(EXPR rux_python_next "${Python_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-rux)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), python3 (<< ${Python_VERSION_MAJOR}.${rux_python_next})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/python3-rux/prerm")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package for resource files (.rux)
The module rux reads resource files as zipfile reads zip files: names,
sizes, whole reads and seekable file objects that inflate only the blocks
they touch, in parallel threads; it extracts and packs them as rux-extract
and rux-pack do.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME librux-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "library for reading resource files (.rux)
librux mounts resource files, looks resources up by name and reads them
as streams, whatever their storage kind. This package holds the library,
its headers, a CMake package (find_package(Rux), Rux::rux) and rux.pc.")
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS ON)
elseif(RUX_LIBDEFLATE)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zlib1g-dev, libdeflate-dev")
else()
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zlib1g-dev")
endif()
include(CPack)
