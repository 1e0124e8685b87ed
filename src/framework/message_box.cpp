// Operator messages: string table text, %1 insertion, the application caption.
#include "framework/message_box.h"
#include "framework/app.h"
#include <cstdio>

namespace fw {

int AppMessageBox(const std::string &text, UINT flags) {
    // No owner: the hub window is hidden, and a box owned by it would be too.
    return ::MessageBoxA(nullptr, text.c_str(), AppTitle().c_str(), flags | MB_SETFOREGROUND);
}

int AppMessageBoxRes(UINT stringId, UINT flags, const char *arg1) {
    std::string text = LoadResString(stringId);
    if (arg1) {
        size_t at = text.find("%1");
        if (at != std::string::npos) text.replace(at, 2, arg1);
    }
    return AppMessageBox(text, flags);
}

std::string ErrorText(DWORD error, const std::string &context) {
    char buf[32];
    snprintf(buf, sizeof buf, "Error %lu: ", static_cast<unsigned long>(error));
    return buf + context;
}

}  // namespace fw
