// Dialog procedure plumbing: `this` travels in the init parameter.
#include "framework/dialog.h"
#include "framework/app.h"
#include <cstring>

namespace fw {

Dialog::~Dialog() {
    if (m_hWnd && !m_bModal) {
        ::SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
        ::DestroyWindow(m_hWnd);
    }
}

INT_PTR Dialog::DoModal(HWND parent) {
    m_bModal = true;
    INT_PTR r = ::DialogBoxParamA(ResourceInstance(), MAKEINTRESOURCEA(m_nTemplate), parent, StaticProc,
                                  reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    m_bModal = false;
    return r;
}

BOOL Dialog::Create(HWND parent) {
    m_bModal = false;
    HWND h = ::CreateDialogParamA(ResourceInstance(), MAKEINTRESOURCEA(m_nTemplate), parent, StaticProc,
                                  reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

void Dialog::EndDialog(INT_PTR result) {
    if (m_bModal)
        ::EndDialog(m_hWnd, result);
    else
        ::ShowWindow(m_hWnd, SW_HIDE);  // a modeless dialog only goes out of sight
}

std::string Dialog::GetItemText(int id) const {
    HWND item = GetItem(id);
    int n = item ? ::GetWindowTextLengthA(item) : 0;
    std::string s(static_cast<size_t>(n) + 1, '\0');
    if (item) ::GetWindowTextA(item, &s[0], n + 1);
    s.resize(strlen(s.c_str()));
    return s;
}

INT_PTR Dialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND: {
        WORD id = LOWORD(wParam), code = HIWORD(wParam);
        if (OnCommand(id, code, reinterpret_cast<HWND>(lParam))) return TRUE;
        if (id == IDOK) { OnOK(); return TRUE; }
        if (id == IDCANCEL) { OnCancel(); return TRUE; }
        return FALSE;
    }
    default:
        return OnMessage(msg, wParam, lParam);
    }
}

INT_PTR CALLBACK Dialog::StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        auto *created = reinterpret_cast<Dialog *>(lParam);
        created->m_hWnd = hwnd;
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    }
    auto *self = reinterpret_cast<Dialog *>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self) return FALSE;
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        return FALSE;
    }
    try {
        return self->Dispatch(msg, wParam, lParam);
    } catch (...) {
        return FALSE;  // never unwind through the dialog manager
    }
}

}  // namespace fw
