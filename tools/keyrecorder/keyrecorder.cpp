// keyrecorder: a top-level window of a chosen class and title that prints
// each key message it receives on standard output, one line each:
//   ready 0x<hwnd>          once the window exists
//   down <vk> <ext>         WM_KEYDOWN: virtual key (hex), extended-key bit
//   up <vk> <ext>           WM_KEYUP
//   char <code>             WM_CHAR (hex), as TranslateMessage made it
// It stands in for a presentation program, so a test sees exactly what a
// plug-in delivered. A console program, so the lines reach a pipe as they
// happen; it ends on WM_CLOSE or after --lifetime seconds, so a test that
// dies never leaves it behind for the next one.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: keyrecorder [--class C] [--title T] [--foreground] [--lifetime S]\n"
    "  --class C      window class (PP97FrameClass)\n"
    "  --title T      window title (Stand-in presentation)\n"
    "  --foreground   make the window the foreground window\n"
    "  --lifetime S   end after S seconds (120)\n";

const UINT_PTR kLifetimeTimer = 1;

void PrintKey(const char *what, WPARAM vk, unsigned ext) {
    std::printf("%s %02x %u\n", what, static_cast<unsigned>(vk), ext);
    std::fflush(stdout);
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    unsigned ext = (static_cast<unsigned long>(lParam) >> 24) & 1u;
    switch (msg) {
    case WM_KEYDOWN: PrintKey("down", wParam, ext); return 0;
    case WM_KEYUP: PrintKey("up", wParam, ext); return 0;
    case WM_CHAR:
        std::printf("char %02x\n", static_cast<unsigned>(wParam));
        std::fflush(stdout);
        return 0;
    case WM_TIMER:
        if (wParam == kLifetimeTimer) DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(hWnd, msg, wParam, lParam);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *cls = "PP97FrameClass", *title = "Stand-in presentation";
    bool foreground = false;
    unsigned long lifetime = 120;
    for (int i = 1; i < argc; ++i) {
        bool value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--class") && value) cls = argv[++i];
        else if (!std::strcmp(argv[i], "--title") && value) title = argv[++i];
        else if (!std::strcmp(argv[i], "--lifetime") && value) lifetime = std::strtoul(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--foreground")) foreground = true;
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = cls;
    if (!RegisterClassA(&wc)) {
        std::fprintf(stderr, "keyrecorder: Error %lu: RegisterClass failed\n", GetLastError());
        return 1;
    }
    HWND hWnd = CreateWindowA(cls, title, WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr, nullptr, wc.hInstance,
                              nullptr);
    if (!hWnd) {
        std::fprintf(stderr, "keyrecorder: Error %lu: CreateWindow failed\n", GetLastError());
        return 1;
    }
    ShowWindow(hWnd, foreground ? SW_SHOW : SW_SHOWNOACTIVATE);
    if (foreground) SetForegroundWindow(hWnd);
    SetTimer(hWnd, kLifetimeTimer, static_cast<UINT>(lifetime * 1000), nullptr);
    std::printf("ready 0x%08lx\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hWnd)));
    std::fflush(stdout);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
