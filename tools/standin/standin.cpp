// standin: one top-level window of a chosen class, standing in for another program.
//
// The hub finds HotSync Manager and the presentation program by the class of their
// main window and acts on them only through that window (WM_CLOSE, visibility) and
// the registry. A test needs a program that behaves the same way and says what
// happened to it, so it can check the hub from outside without the real programs.
//
// Command line:
//   standin [--class CLASS] [--title TITLE] [--hidden] [--refuse-close N]
//           [--hang-close SECONDS] [--watch-value KEY\NAME] [--log FILE]
//   --class CLASS        window class to register and create (default "StandIn")
//   --title TITLE        window title (default: the class)
//   --hidden             create the window without showing it
//   --refuse-close N     ignore the first N WM_CLOSE messages; later ones destroy the window
//   --hang-close S       stay S seconds inside every WM_CLOSE handler before answering it
//   --watch-value K\N    at every WM_CLOSE, record value N of HKEY_CURRENT_USER\K
//   --log FILE           append the record to FILE instead of standard output
// With no arguments at all (as when the shell starts it by path) the arguments are
// read from a file beside the executable with the same name and the extension
// ".args": one line, split at blanks, double quotes group.
//
// Requests, posted to the window (wintool post-message):
//   0x8001 (WM_APP+1) hide   0x8002 (WM_APP+2) show   0x8003 (WM_APP+3) destroy
// Destroying the window ends the process.
//
// Record: one line per event, flushed at once:
//   started PID HWND CLASS visible=0|1
//   WM_CLOSE N refused|accepted [NAME=absent|dword:VALUE|sz:TEXT|type:T]
//   WM_CLOSE N hang S                  (before staying S seconds in the handler)
//   hide | show | destroy              (the requests above)
//   WM_KEYDOWN|WM_KEYUP|WM_SYSKEYDOWN|WM_SYSKEYUP VK   (virtual-key code, hex: 0x25)
//   WM_CHAR|WM_SYSCHAR CODE            (character code, hex)
//   exit
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const UINT kRequestHide = WM_APP + 1;
const UINT kRequestShow = WM_APP + 2;
const UINT kRequestDestroy = WM_APP + 3;

struct Options {
    std::string windowClass = "StandIn";
    std::string title;
    bool hidden = false;
    long refuseClose = 0;
    long hangCloseSeconds = 0;
    std::string watchKey, watchName;
    std::string logPath;
};

Options g_options;       // set once before the window exists; the one thread reads it
FILE *g_log = stdout;
long g_closeCount = 0;

void Record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Record(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

int Usage(const char *why)
{
    std::fprintf(stderr, "standin: %s\n", why);
    return 2;
}

std::vector<std::string> SplitArgsLine(const std::string &line)
{
    std::vector<std::string> out;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') { quoted = !quoted; any = true; continue; }
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (any) out.push_back(current);
            current.clear();
            any = false;
            continue;
        }
        current += c;
        any = true;
    }
    if (any) out.push_back(current);
    return out;
}

// The arguments of a start without any: from "<exe without .exe>.args".
std::vector<std::string> ArgsFromFile()
{
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[n] = '\0';
    if (char *dot = std::strrchr(path, '.')) *dot = '\0';
    std::strcat(path, ".args");
    std::string text;
    if (FILE *f = std::fopen(path, "rb")) {
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
        std::fclose(f);
    }
    return SplitArgsLine(text);
}

bool ParseOptions(const std::vector<std::string> &args, Options &o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--hidden") { o.hidden = true; continue; }
        if (i + 1 >= args.size()) return false;
        const std::string &v = args[++i];
        if (a == "--class") o.windowClass = v;
        else if (a == "--title") o.title = v;
        else if (a == "--refuse-close") o.refuseClose = std::atol(v.c_str());
        else if (a == "--hang-close") o.hangCloseSeconds = std::atol(v.c_str());
        else if (a == "--log") o.logPath = v;
        else if (a == "--watch-value") {
            size_t cut = v.rfind('\\');
            if (cut == std::string::npos) return false;
            o.watchKey = v.substr(0, cut);
            o.watchName = v.substr(cut + 1);
        } else {
            return false;
        }
    }
    if (o.title.empty()) o.title = o.windowClass;
    return true;
}

std::string WatchedValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, g_options.watchKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return g_options.watchName + "=absent";
    BYTE data[1024] = {};
    DWORD type = 0, size = sizeof data - 1;
    LONG r = RegQueryValueExA(key, g_options.watchName.c_str(), nullptr, &type, data, &size);
    RegCloseKey(key);
    char text[1100];
    if (r != ERROR_SUCCESS)
        std::snprintf(text, sizeof text, "absent");
    else if (type == REG_DWORD && size == sizeof(DWORD))
        std::snprintf(text, sizeof text, "dword:%lu", *reinterpret_cast<DWORD *>(data));
    else if (type == REG_SZ)
        std::snprintf(text, sizeof text, "sz:%s", reinterpret_cast<char *>(data));
    else
        std::snprintf(text, sizeof text, "type:%lu", type);
    return g_options.watchName + "=" + text;
}

void OnClose(HWND hwnd)
{
    long n = ++g_closeCount;
    std::string watched = g_options.watchName.empty() ? std::string() : " " + WatchedValue();
    if (g_options.hangCloseSeconds > 0) {
        Record("WM_CLOSE %ld hang %ld", n, g_options.hangCloseSeconds);
        Sleep(static_cast<DWORD>(g_options.hangCloseSeconds) * 1000);
    }
    bool refuse = n <= g_options.refuseClose;
    Record("WM_CLOSE %ld %s%s", n, refuse ? "refused" : "accepted", watched.c_str());
    if (!refuse) DestroyWindow(hwnd);
}

const char *KeyMessageName(UINT msg)
{
    switch (msg) {
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
    case WM_CHAR: return "WM_CHAR";
    case WM_SYSCHAR: return "WM_SYSCHAR";
    default: return nullptr;
    }
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (const char *key = KeyMessageName(msg)) {
        Record("%s 0x%02lx", key, static_cast<unsigned long>(wParam));
        if (msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP || msg == WM_SYSCHAR) return 0;  // no system menu
    }
    switch (msg) {
    case WM_CLOSE: OnClose(hwnd); return 0;
    case kRequestHide: Record("hide"); ShowWindow(hwnd, SW_HIDE); return 0;
    case kRequestShow: Record("show"); ShowWindow(hwnd, SW_SHOW); return 0;
    case kRequestDestroy: Record("destroy"); DestroyWindow(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

HWND CreateStandInWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = g_options.windowClass.c_str();
    if (!RegisterClassA(&wc)) return nullptr;
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, g_options.title.c_str(), WS_OVERLAPPEDWINDOW, 10, 10, 320,
                                200, nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd && !g_options.hidden) {
        ShowWindow(hwnd, SW_SHOW);
        SetForegroundWindow(hwnd);  // keys typed at the desktop reach this window
    }
    return hwnd;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) args = ArgsFromFile();
    if (!ParseOptions(args, g_options)) return Usage("bad arguments (see the top of standin.cpp)");
    if (!g_options.logPath.empty()) {
        g_log = std::fopen(g_options.logPath.c_str(), "a");
        if (!g_log) return Usage("cannot open the log file");
    }
    HWND hwnd = CreateStandInWindow();
    if (!hwnd) {
        Record("failed %lu", GetLastError());
        return 1;
    }
    Record("started %lu 0x%08lx %s visible=%d", GetCurrentProcessId(),
           static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hwnd)), g_options.windowClass.c_str(),
           IsWindowVisible(hwnd) ? 1 : 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    Record("exit");
    return 0;
}
