// The tray icon's menu as the shell shows it: looked at from the owner window
// while the menu is open, since no other process can read another's menus.
#include <gtest/gtest.h>
#include <windows.h>
#include "resource.h"
#include "ui/tray_notify_icon.h"

namespace {

const UINT kCallback = WM_USER + 1;

// The notify window: records commands, and inspects and closes the menu.
struct MenuOwner {
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        MenuOwner *self = reinterpret_cast<MenuOwner *>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self) {
            if (msg == WM_INITMENUPOPUP) {
                HMENU popup = reinterpret_cast<HMENU>(wParam);
                self->menuOpened = true;
                self->defaultCommand = ::GetMenuDefaultItem(popup, FALSE, 0);
                self->addPortState = ::GetMenuState(popup, 32772, MF_BYCOMMAND);
                self->itemCount = ::GetMenuItemCount(popup);
            }
            if (msg == WM_ENTERIDLE) ::EndMenu();
            if (msg == WM_COMMAND) self->commands.push_back(LOWORD(wParam));
        }
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }

    MenuOwner() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "TrayMenuOwner";
        ::RegisterClassA(&wc);
        hwnd = ::CreateWindowA("TrayMenuOwner", "tray test", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               wc.hInstance, nullptr);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~MenuOwner() { ::DestroyWindow(hwnd); }

    HWND hwnd;
    bool menuOpened = false;
    UINT defaultCommand = 0;
    UINT addPortState = 0;
    int itemCount = 0;
    std::vector<WORD> commands;
};

class TrayNotifyIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        HICON icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TRAY));
        ASSERT_TRUE(icon);
        ASSERT_TRUE(tray.Create(owner.hwnd, IDR_TRAY_MENU, "Norvane", icon, kCallback, 1));
    }
    MenuOwner owner;
    CTrayNotifyIcon tray;
};

TEST_F(TrayNotifyIconTest, RightClickShowsTheMenuWithBoldDefaultAndDisabledAddPort) {
    EXPECT_EQ(1, tray.OnTrayNotification(IDR_TRAY_MENU, WM_RBUTTONUP));
    ASSERT_TRUE(owner.menuOpened);
    EXPECT_EQ(32774u, owner.defaultCommand);
    EXPECT_TRUE(owner.addPortState & MF_GRAYED);
    EXPECT_EQ(5, owner.itemCount);
    EXPECT_TRUE(owner.commands.empty());  // closed without a choice
}

TEST_F(TrayNotifyIconTest, DoubleClickSendsTheDefaultCommandWithoutAMenu) {
    EXPECT_EQ(1, tray.OnTrayNotification(IDR_TRAY_MENU, WM_LBUTTONDBLCLK));
    EXPECT_FALSE(owner.menuOpened);
    EXPECT_EQ(std::vector<WORD>{32774}, owner.commands);
}

TEST_F(TrayNotifyIconTest, OtherIconsAndOtherMouseMessagesDoNothing) {
    EXPECT_EQ(0, tray.OnTrayNotification(IDR_TRAY_MENU + 1, WM_RBUTTONUP));
    EXPECT_EQ(1, tray.OnTrayNotification(IDR_TRAY_MENU, WM_LBUTTONUP));
    EXPECT_EQ(1, tray.OnTrayNotification(IDR_TRAY_MENU, WM_MOUSEMOVE));
    EXPECT_FALSE(owner.menuOpened);
    EXPECT_TRUE(owner.commands.empty());
}

TEST_F(TrayNotifyIconTest, ShellRestartAddsTheIconAgainButNeverARemovedOne) {
    EXPECT_TRUE(tray.OnTaskbarCreated());
    EXPECT_TRUE(tray.IsAdded());
    EXPECT_TRUE(tray.RemoveIcon());
    EXPECT_FALSE(tray.RemoveIcon());  // twice is harmless
    EXPECT_FALSE(tray.OnTaskbarCreated());
    EXPECT_FALSE(tray.IsAdded());
}

}  // namespace
