# The ZIP service module, as a CMake package:
#
#   find_package(SZip 1 CONFIG REQUIRED)
#
# Imported targets (each needs C++17 or later, a cxx_std_17 compile feature;
# headers are included as <s_zip/NAME.h>):
#   SZip::headers     every client header and nothing to link: for a host,
#                     which only dlopens the modules
#   SZip::zip         libs_zip.so (SONAME libs_zip.so.1), with SZip::headers
#   SZip::client      the client stubs (TZip, TZipBuffer, aBuf, the zlib and
#                     byte-buffer clients), static; brings the headers below
#   SZip::contract    the ZIP service's interfaces and result codes (headers)
#   SZip::interfaces  what modules see of the host and the peer services
#   SZip::framework   the object framework every module carries, static
# Variables:
#   SZip_MODULE_DIR   the folder of libs_zip.so and its peer modules
# Function:
#   szip_add_client_module(<name> SOURCES ... [LIBS ...])
#     a client module: a shared library, named <name>.so, that carries its own
#     whole copy of the framework and the client stubs with hidden visibility
#     and -Bsymbolic, and links libs_zip.so (docs/client-guide.md).
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/SZipTargets.cmake)
get_filename_component(SZip_MODULE_DIR ${CMAKE_CURRENT_LIST_DIR}/../../s_zip ABSOLUTE)

function(szip_add_client_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  # The framework's objects go in whole (its entry points GetObjectManager
  # and InitObjectManager must be there); the client archive then adds only
  # the stubs the module uses.
  target_link_options(${name} PRIVATE
    "LINKER:--whole-archive,$<TARGET_FILE:SZip::framework>,--no-whole-archive"
    "LINKER:-Bsymbolic" "LINKER:-z,defs")
  target_link_libraries(${name} PRIVATE SZip::client SZip::zip ${ARG_LIBS})
  target_compile_options(${name} PRIVATE -fno-gnu-unique)
  set_target_properties(${name} PROPERTIES PREFIX ""
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON BUILD_RPATH ${SZip_MODULE_DIR})
endfunction()
