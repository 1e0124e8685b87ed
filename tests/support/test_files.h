// Files the code under test writes (traffic logs), read back whole while the
// writer may still hold them open.
#pragma once
#include <string>

std::string ReadWholeFile(const std::string &path);
