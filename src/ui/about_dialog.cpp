// The text is one string resource so that translators touch no code; it goes
// through the system's message formatting like every other operator text.
#include "ui/about_dialog.h"
#include "framework/app.h"
#include "resource.h"

namespace {

std::string Formatted(const std::string &text) {
    char *out = nullptr;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                   FORMAT_MESSAGE_ARGUMENT_ARRAY,
                               text.c_str(), 0, 0, reinterpret_cast<char *>(&out), 0, nullptr);
    std::string result = n && out ? std::string(out, n) : text;
    if (out) ::LocalFree(out);
    return result;
}

}  // namespace

CAboutDlg::CAboutDlg() : fw::Dialog(IDD_ABOUTBOX), m_strText(Formatted(fw::LoadResString(IDS_ABOUT_TEXT))) {}

BOOL CAboutDlg::OnInitDialog() {
    SetItemText(IDC_ABOUT_TEXT, m_strText);
    // The focus on OK: in the edit box it would show the whole text selected.
    ::SetFocus(GetItem(IDOK));
    return FALSE;
}
