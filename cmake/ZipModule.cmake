# zip_add_module(<name> SOURCES ... [LIBS ...])
#
# Builds a loadable module of the host: a shared library that carries its own
# copy of the framework (whole archive, so the exported framework entry points
# are always present) and binds every reference to its own globals and
# functions inside itself, so that two modules in one process never share a
# registry, a lock or an identity, even when loaded RTLD_GLOBAL.
function(zip_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  # The framework's objects go in whole, as the module's own; the archive that
  # libraries built on it (the client stubs) bring along then adds nothing.
  add_library(${name} SHARED ${ARG_SOURCES} $<TARGET_OBJECTS:zip_framework>)
  target_link_libraries(${name} PRIVATE zip_framework ${ARG_LIBS})
  # -fno-gnu-unique: no STB_GNU_UNIQUE symbols, which would keep the library
  # mapped after dlclose (GCC's; clang never makes them). -Bsymbolic: a
  # backstop to hidden visibility.
  target_compile_options(${name} PRIVATE ${ZIP_NO_GNU_UNIQUE})
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic ${ZIP_NO_UNDEFINED} -Wl,--enable-new-dtags)
  # Peers and the configuration library are found beside the module, and
  # nowhere else: the build tree's run path is the installed one, exactly
  # "$ORIGIN" (a build run path is padded with an empty entry, which means
  # the current folder).
  set_target_properties(${name} PROPERTIES
    PREFIX "" INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON
    LIBRARY_OUTPUT_DIRECTORY ${ZIP_MODULE_DIR})
endfunction()

# Keeps STB_GNU_UNIQUE symbols out of a module: GCC makes them, clang never does.
set(ZIP_NO_GNU_UNIQUE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
# Shared libraries are linked with no undefined symbol left, except under
# clang's sanitizers, whose runtimes only executables link: a sanitized
# library leaves their entry points to the program that loads it.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  set(ZIP_NO_UNDEFINED "")
else()
  set(ZIP_NO_UNDEFINED -Wl,-z,defs)
endif()

# Every module, libs_ini.so and the host land in one folder of the build tree.
set(ZIP_MODULE_DIR ${PROJECT_BINARY_DIR}/lib)
