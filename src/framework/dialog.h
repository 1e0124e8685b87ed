// Dialogs from .rc templates, modal or modeless.
//
// The static procedure stores `this` at WM_INITDIALOG and from then on calls
// short virtual handlers; each concrete dialog is a small class that
// overrides only what it needs. Modal dialogs run the system's own loop, which
// keeps dispatching the hub window's messages while they are open.
#pragma once
#include <windows.h>
#include <string>

namespace fw {

class Dialog {
public:
    explicit Dialog(UINT templateId) : m_nTemplate(templateId) {}
    virtual ~Dialog();
    Dialog(const Dialog &) = delete;
    Dialog &operator=(const Dialog &) = delete;

    INT_PTR DoModal(HWND parent = nullptr);
    BOOL Create(HWND parent = nullptr);  // modeless; FALSE on failure
    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL IsVisible() const { return m_hWnd && ::IsWindowVisible(m_hWnd); }
    BOOL SetWindowPos(HWND after, UINT flags) {
        return ::SetWindowPos(m_hWnd, after, 0, 0, 0, 0, flags | SWP_NOMOVE | SWP_NOSIZE);
    }
    void EndDialog(INT_PTR result);
    std::string GetItemText(int id) const;
    void SetItemText(int id, const std::string &text) { ::SetDlgItemTextA(m_hWnd, id, text.c_str()); }
    bool IsModal() const { return m_bModal; }

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    // Returns true when the command was handled.
    virtual bool OnCommand(WORD id, WORD code, HWND ctrl) { return false; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Everything else; return TRUE when handled (result in DWLP_MSGRESULT).
    virtual INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) { return FALSE; }

private:
    static INT_PTR CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    UINT m_nTemplate;
    HWND m_hWnd = nullptr;
    bool m_bModal = false;
};

}  // namespace fw
