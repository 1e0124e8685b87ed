// Operator messages: string table text, %1 insertion, the application caption.
#include "framework/message_box.h"
#include "framework/app.h"
#include <cstdio>
#include <set>
#include "framework/sync.h"

namespace fw {

namespace {
// Texts of the boxes open right now; any thread.
CriticalSection &OpenBoxesLock() {
    static CriticalSection cs;
    return cs;
}
std::set<std::string> &OpenBoxes() {
    static std::set<std::string> texts;
    return texts;
}
}  // namespace

// A box keeps dispatching the hub window's messages while it is open, so a
// peer that repeats what caused it would otherwise stack one box on another
// without end. A second box of a text that is on screen is not shown.
int AppMessageBox(const std::string &text, UINT flags) {
    {
        Lock lock(OpenBoxesLock());
        if (!OpenBoxes().insert(text).second) return 0;
    }
    // No owner: the hub window is hidden, and a box owned by it would be too.
    int result = ::MessageBoxA(nullptr, text.c_str(), AppTitle().c_str(), flags | MB_SETFOREGROUND);
    Lock lock(OpenBoxesLock());
    OpenBoxes().erase(text);
    return result;
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
