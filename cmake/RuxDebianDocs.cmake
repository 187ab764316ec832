# Run by cpack -G DEB (CPACK_PRE_BUILD_SCRIPTS) on the staged files of each
# package, before they are packed: what Debian's policy asks of every
# binary package and cmake --install has no need of. The manual pages are
# compressed with gzip -9n (no name, no time stamp, so the .deb stays
# reproducible), and /usr/share/doc/PACKAGE/ gets the copyright file and
# the changelog, compressed the same way.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(RUX_GZIP gzip)
if(NOT RUX_GZIP)
  message(FATAL_ERROR "gzip not found: the Debian packages need it for their manual pages and changelog")
endif()

function(rux_gzip file)
  execute_process(COMMAND "${RUX_GZIP}" -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${file} failed")
  endif()
endfunction()

# The components' staging directories, and the package each becomes.
foreach(component tools dev mount python)
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  if(NOT IS_DIRECTORY "${root}")
    continue()
  endif()
  file(GLOB_RECURSE pages "${root}/share/man/*.[1-9]")
  foreach(page IN LISTS pages)
    rux_gzip("${page}")
  endforeach()
  set(doc "${root}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY_FILE "${CPACK_RUX_COPYRIGHT}" "${doc}/copyright")
  file(COPY_FILE "${CPACK_RUX_CHANGELOG}" "${doc}/changelog")
  rux_gzip("${doc}/changelog")
endforeach()
