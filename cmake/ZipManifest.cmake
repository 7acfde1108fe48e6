# cmake -DOUT=<manifest> -DFILES=<file;...> -P ZipManifest.cmake
#
# Writes the digest manifest of the module folder: one line per file, its
# SHA-256 and its name ("sha256sum -c" reads it too). zip-host refuses a
# module of a folder with a manifest whose content does not match it.
set(text "")
foreach(f IN LISTS FILES)
  file(SHA256 "${f}" digest)
  get_filename_component(name "${f}" NAME)
  string(APPEND text "${digest}  ${name}\n")
endforeach()
file(WRITE "${OUT}.tmp" "${text}")
file(RENAME "${OUT}.tmp" "${OUT}")
