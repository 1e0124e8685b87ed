// Following the presentation program's main window.
//
// A hub started together with the presentation program ends when that
// program's main window goes. Only a change from visible to not visible
// counts, so a window that was hidden when watching began is waited for
// until it has been seen on screen.
#include "app/hub_frame.h"

namespace {
// The newer frame class first: when both are present, that one is watched.
const char *const kFrameClasses[] = {"PP97FrameClass", "PP9FrameClass"};

BOOL IsShown(HWND window) { return ::IsWindowVisible(window) ? TRUE : FALSE; }  // gone reads as hidden
}  // namespace

void CHubFrame::FindPowerPoint() {
    m_hPowerPointWnd = nullptr;
    for (const char *windowClass : kFrameClasses) {
        m_hPowerPointWnd = ::FindWindowA(windowClass, nullptr);
        if (m_hPowerPointWnd) break;
    }
    if (m_hPowerPointWnd) m_bPowerPointVisible = IsShown(m_hPowerPointWnd);
}

bool CHubFrame::PowerPointWentAway() {
    if (!m_hPowerPointWnd) return false;
    BOOL visible = IsShown(m_hPowerPointWnd);
    if (!visible && m_bPowerPointVisible) {
        m_bPowerPointVisible = FALSE;
        return true;
    }
    m_bPowerPointVisible = visible;
    return false;
}
