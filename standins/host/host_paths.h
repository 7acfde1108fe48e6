#pragma once
// The two halves of a path as the host names files: the folder that holds
// it and its own name. Plain string work, no file system access.

#include <string>

// The folder part of `path`: "." for a bare name, "/" for a name at the root.
inline std::string folderOf(std::string const& path) {
    std::string::size_type const slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The last component of `path` (all of it when it has no slash).
inline std::string fileNameOf(std::string const& path) {
    std::string::size_type const slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
