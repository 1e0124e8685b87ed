// Where the expected files live: NORVANE_TEST_DATA when the runner sets it,
// else beside this source, so the same binary works natively and under Wine.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <string>

inline std::string TestDataPath(const char *name) {
    const char *env = getenv("NORVANE_TEST_DATA");
    std::string dir;
    if (env && *env) {
        dir = env;
    } else {
        dir = __FILE__;
        size_t slash = dir.find_last_of("/\\");
        dir = dir.substr(0, slash == std::string::npos ? 0 : slash) + "/../data";
    }
    return dir + "/" + name;
}

// The whole file, bytes as they are; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    return text;
}
