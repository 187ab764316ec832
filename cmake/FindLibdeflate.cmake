# Finds libdeflate, which installs no CMake package of its own on Debian.
# Defines Libdeflate_FOUND and the imported target Libdeflate::Libdeflate.
# Used by this build and, installed beside RuxConfig.cmake, by programs
# that link a static librux.
find_path(Libdeflate_INCLUDE_DIR libdeflate.h)
find_library(Libdeflate_LIBRARY deflate)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Libdeflate REQUIRED_VARS Libdeflate_LIBRARY Libdeflate_INCLUDE_DIR)
if(Libdeflate_FOUND AND NOT TARGET Libdeflate::Libdeflate)
  add_library(Libdeflate::Libdeflate UNKNOWN IMPORTED)
  set_target_properties(Libdeflate::Libdeflate PROPERTIES
    IMPORTED_LOCATION "${Libdeflate_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Libdeflate_INCLUDE_DIR}")
endif()
mark_as_advanced(Libdeflate_INCLUDE_DIR Libdeflate_LIBRARY)
