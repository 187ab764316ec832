# Installs the build in BUILD_DIR below PREFIX and checks what arrived.
# The installed tools run through RUX_LAUNCHER from the environment, or else
# LAUNCHER, the cross build's emulator (words apart by spaces).
if(DEFINED ENV{RUX_LAUNCHER} AND NOT "$ENV{RUX_LAUNCHER}" STREQUAL "")
  set(LAUNCHER "$ENV{RUX_LAUNCHER}")
endif()
separate_arguments(launcher UNIX_COMMAND "${LAUNCHER}")
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(tools rux-extract rux-pack rux-diff)
if(EXISTS "${PREFIX}/${BINDIR}/rux-mount")
  list(APPEND tools rux-mount)
endif()
foreach(tool ${tools})
  set(program "${PREFIX}/${BINDIR}/${tool}")
  execute_process(COMMAND ${launcher} "${program}" --version OUTPUT_VARIABLE said RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT said STREQUAL "${tool} ${VERSION}\n")
    message(FATAL_ERROR "${program} --version: status ${result}, said '${said}'")
  endif()
  set(page "${PREFIX}/${MANDIR}/man1/${tool}.1")
  file(STRINGS "${page}" title REGEX "^\\.TH ")
  if(NOT title MATCHES "^\\.TH ${tool} 1")
    message(FATAL_ERROR "${page}: no .TH ${tool} 1 line")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")

# The Python package alone, into the user's own prefix (~/.local of a HOME
# made for the check): the interpreter imports it from there, from
# anywhere, with nothing else set.
if(PYTHON)
  set(home "${PREFIX}/home")
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${home}/.local"
                          --component python
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install --prefix ~/.local --component python failed: ${result}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=PYTHONPATH --unset=PYTHONNOUSERSITE "HOME=${home}"
                          "${PYTHON}" -c "import rux; print(rux.__file__, callable(rux.ResourceFile))"
                  WORKING_DIRECTORY "${home}" OUTPUT_VARIABLE said ERROR_VARIABLE why RESULT_VARIABLE result)
  file(REMOVE_RECURSE "${PREFIX}")
  string(FIND "${said}" "${home}/.local/lib/" below)
  if(NOT result EQUAL 0 OR NOT below EQUAL 0 OR NOT said MATCHES "/rux/__init__\\.py True\n$")
    message(FATAL_ERROR "${PYTHON} after --prefix ~/.local: status ${result}, said '${said}' ${why}")
  endif()
endif()
