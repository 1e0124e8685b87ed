// Message boxes for the operator, always captioned with the application title.
#pragma once
#include <windows.h>
#include <string>

namespace fw {

// At most one box of a given text is open at a time: while one is, the same
// text returns 0 at once without a box.
int AppMessageBox(const std::string &text, UINT flags = MB_OK);
// Text from the string table; "%1" in it is replaced with arg1 when given.
int AppMessageBoxRes(UINT stringId, UINT flags = MB_OK, const char *arg1 = nullptr);
// "Error %d: <context>" for reporting a failed Win32 call.
std::string ErrorText(DWORD error, const std::string &context);

}  // namespace fw
