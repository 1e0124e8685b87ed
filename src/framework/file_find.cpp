// FindFirstFile wrapper; directories are skipped.
#include "framework/file_find.h"
#include "framework/handles.h"

namespace fw {

std::vector<std::string> FindFiles(const std::string &pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    FindHandle find(::FindFirstFileA(pattern.c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileA(find.Get(), &data));
    return names;
}

std::string FileTitle(const std::string &fileName) {
    size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

}  // namespace fw
