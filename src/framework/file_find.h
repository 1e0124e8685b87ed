// Directory enumeration in the order the file system returns entries.
#pragma once
#include <string>
#include <vector>

namespace fw {

// Names (without directory) of the files that match a wildcard pattern.
std::vector<std::string> FindFiles(const std::string &pattern);
// "name.ext" -> "name": the title of a file name.
std::string FileTitle(const std::string &fileName);

}  // namespace fw
