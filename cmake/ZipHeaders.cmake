# The client headers as consumers spell them, <s_zip/NAME.h>, in the build
# tree as in the installed one: build/<preset>/include/s_zip/ holds a link to
# every public header of the framework, the interfaces, the ZIP contract and
# the client stubs, the same set that installs flat into <includedir>/s_zip.
# The headers include their siblings with quotes, which resolve in the
# including header's own folder, so one include directory, the parent of
# s_zip/, serves every header; a consumer's own zip.h or tbuf.h is never
# shadowed. The project's own sources keep their folder-by-folder includes.
#
# zip_headers (exported as SZip::headers) is that include directory and the
# minimum language standard, C++17, and nothing to link: what a host that
# only dlopens the modules needs. Every other exported target links it.
set(ZIP_PUBLIC_HEADER_DIRS framework interfaces zip/include stubs)
set(zip_generated_include ${PROJECT_BINARY_DIR}/include)
file(REMOVE_RECURSE ${zip_generated_include}/s_zip)
file(MAKE_DIRECTORY ${zip_generated_include}/s_zip)
foreach(dir ${ZIP_PUBLIC_HEADER_DIRS})
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.h)
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${zip_generated_include}/s_zip/${name} SYMBOLIC)
  endforeach()
endforeach()

add_library(zip_headers INTERFACE)
target_include_directories(zip_headers INTERFACE $<BUILD_INTERFACE:${zip_generated_include}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(zip_headers INTERFACE cxx_std_17)
add_library(zip::headers ALIAS zip_headers)
