# The resource and platform code as one library, librux: the one that
# cmake --install puts in place, with its public headers. Static by default;
# with BUILD_SHARED_LIBS=ON the installed one is shared, while the tools and
# tests still link a static copy.
include(GNUInstallDirs)

# Public headers, installed side by side as include/rux/NAME.h. They include
# each other as <rux/NAME.h>; the build tree gets forwarding headers of the
# same names, so that form resolves here as well as once installed.
set(RUX_PUBLIC_HEADERS
  platform/disk_file.h
  resource/format.h
  resource/index.h
  resource/blocks.h
  resource/stream.h
  resource/set.h)
foreach(header IN LISTS RUX_PUBLIC_HEADERS)
  get_filename_component(name "${header}" NAME)
  file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/include/rux/${name}"
       CONTENT "#include \"${PROJECT_SOURCE_DIR}/${header}\"\n")
endforeach()

function(rux_add_library name type)
  add_library(${name} ${type} ${RUX_PLATFORM_SOURCES} ${RUX_RESOURCE_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # The inflation back end is private: nothing of it shows in the headers.
  target_link_libraries(${name} PRIVATE ZLIB::ZLIB)
  if(RUX_LIBDEFLATE)
    target_compile_definitions(${name} PRIVATE RUX_WITH_LIBDEFLATE=1)
    target_link_libraries(${name} PRIVATE Libdeflate::Libdeflate)
  endif()
endfunction()

if(BUILD_SHARED_LIBS)
  rux_add_library(rux SHARED)
  # Only names in namespace rux are exported, and of those not the
  # inflation helpers, which are no part of the interface.
  set(rux_map "${PROJECT_SOURCE_DIR}/cmake/rux.map")
  target_link_options(rux PRIVATE "LINKER:--version-script=${rux_map}" "LINKER:--no-undefined")
  set_property(TARGET rux APPEND PROPERTY LINK_DEPENDS "${rux_map}")
  rux_add_library(rux_static STATIC)
  set(rux_in_tree rux_static)
else()
  rux_add_library(rux STATIC)
  set(rux_in_tree rux)
endif()
set_target_properties(rux PROPERTIES
  OUTPUT_NAME rux
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# The names the tools, tests and benchmarks link. Tests call zlib directly.
add_library(rux_platform INTERFACE)
target_link_libraries(rux_platform INTERFACE ${rux_in_tree})
add_library(rux_resource INTERFACE)
target_link_libraries(rux_resource INTERFACE ${rux_in_tree} ZLIB::ZLIB)
