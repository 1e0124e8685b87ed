// wintool: the operator's hands for system tests that run under Wine.
//
// A test on the Linux side cannot see or touch Windows windows, so it runs this
// console program inside the same prefix to find windows, post commands, read and
// dismiss message boxes and wait for windows to go. Every action is one short-lived
// process with no window of its own, and it only ever posts or sends with a time-out,
// so a hung hub can make a test fail but never make the tool hang.
//
// Output is one line per window, fields separated by tabs; texts escape backslash,
// tab, CR and LF so a line is always one record. Exit codes: 0 done, 1 nothing found
// or timed out, 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kBoxClass[] = "#32770";
const DWORD kPollMs = 25;
const UINT kSendTimeoutMs = 2000;

struct Args {
    std::vector<std::string> positional;
    std::string title, cls, caption, button, processOf;
    HWND hwnd = nullptr;
    DWORD waitMs = 0;
    bool hasTitle = false, hasClass = false, hasCaption = false;
};

int Usage()
{
    std::fputs(
        "usage: wintool COMMAND [options]\n"
        "  find-window (--title T | --class C | --hwnd H) [--wait MS]\n"
        "  post-command WINDOW ID\n"
        "  post-message WINDOW MSG WPARAM LPARAM\n"
        "  close-window WINDOW\n"
        "  wait-gone WINDOW --timeout MS\n"
        "  list-windows [--process-of TITLE]\n"
        "  list-boxes [--caption C]\n"
        "  wait-box [--caption C] --timeout MS\n"
        "  dismiss-box [--caption C] [--button ID] [--wait MS]\n"
        "  memory WINDOW   (the owning process: committed private bytes, then all mapped bytes)\n"
        "WINDOW is --title T, --class C or --hwnd H; numbers may be decimal or 0x hex.\n",
        stderr);
    return 2;
}

bool ParseNumber(const char *s, unsigned long &out)
{
    char *end = nullptr;
    out = std::strtoul(s, &end, 0);
    return *s != '\0' && *end == '\0';
}

// Button names as a test writes them; anything else must be a number.
bool ParseButton(const std::string &s, int &id)
{
    static const struct { const char *name; int id; } names[] = {
        {"IDOK", IDOK}, {"IDCANCEL", IDCANCEL}, {"IDABORT", IDABORT}, {"IDRETRY", IDRETRY},
        {"IDIGNORE", IDIGNORE}, {"IDYES", IDYES}, {"IDNO", IDNO},
    };
    for (const auto &n : names)
        if (_stricmp(s.c_str(), n.name) == 0) { id = n.id; return true; }
    unsigned long v;
    if (!ParseNumber(s.c_str(), v)) return false;
    id = static_cast<int>(v);
    return true;
}

bool ParseArgs(int argc, char **argv, Args &a)
{
    for (int i = 2; i < argc; ++i) {
        std::string opt = argv[i];
        bool takesValue = opt == "--title" || opt == "--class" || opt == "--hwnd" || opt == "--wait" ||
                          opt == "--timeout" || opt == "--caption" || opt == "--button" ||
                          opt == "--process-of";
        if (!takesValue) { a.positional.push_back(opt); continue; }
        if (i + 1 >= argc) return false;
        const char *v = argv[++i];
        unsigned long n = 0;
        if (opt == "--title") { a.title = v; a.hasTitle = true; }
        else if (opt == "--class") { a.cls = v; a.hasClass = true; }
        else if (opt == "--caption") { a.caption = v; a.hasCaption = true; }
        else if (opt == "--button") a.button = v;
        else if (opt == "--process-of") a.processOf = v;
        else if (!ParseNumber(v, n)) return false;
        else if (opt == "--hwnd") a.hwnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(n));
        else a.waitMs = n;   // --wait and --timeout: both bound how long to poll
    }
    return true;
}

std::string Escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string WindowText(HWND h)
{
    char buf[4096] = "";
    GetWindowTextA(h, buf, sizeof buf);
    return buf;
}

std::string ClassOf(HWND h)
{
    char buf[256] = "";
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

DWORD ProcessOf(HWND h)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    return pid;
}

HWND FindTarget(const Args &a)
{
    if (a.hwnd) return IsWindow(a.hwnd) ? a.hwnd : nullptr;
    return FindWindowA(a.hasClass ? a.cls.c_str() : nullptr, a.hasTitle ? a.title.c_str() : nullptr);
}

bool HasTarget(const Args &a) { return a.hwnd || a.hasTitle || a.hasClass; }

// Polls until the window exists (or the wait runs out); waitMs 0 looks once.
HWND WaitTarget(const Args &a)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND h = FindTarget(a)) return h;
        if (GetTickCount() - start >= a.waitMs) return nullptr;
        Sleep(kPollMs);
    }
}

void PrintHwnd(HWND h) { std::printf("0x%08lx\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(h))); }

// --- message boxes ---------------------------------------------------------

struct BoxQuery {
    const Args *args;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND h, LPARAM lp)
{
    BoxQuery &q = *reinterpret_cast<BoxQuery *>(lp);
    if (ClassOf(h) != kBoxClass) return TRUE;
    if (q.visibleOnly && !IsWindowVisible(h)) return TRUE;
    if (q.args->hasCaption && WindowText(h) != q.args->caption) return TRUE;
    q.found.push_back(h);
    return TRUE;
}

std::vector<HWND> FindBoxes(const Args &a, bool visibleOnly)
{
    BoxQuery q{&a, visibleOnly, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

void PrintBox(HWND h)
{
    char text[4096] = "";
    GetDlgItemTextA(h, 0xFFFF, text, sizeof text);   // a message box's static text has id 0xFFFF
    std::printf("0x%08lx\t%d\t%s\t%s\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(h)),
                IsWindowVisible(h) ? 1 : 0, Escape(WindowText(h)).c_str(), Escape(text).c_str());
}

HWND WaitBox(const Args &a)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> boxes = FindBoxes(a, true);
        if (!boxes.empty()) return boxes.front();
        if (GetTickCount() - start >= a.waitMs) return nullptr;
        Sleep(kPollMs);
    }
}

struct ButtonSearch {
    int defaultId = 0, firstId = 0;
};

BOOL CALLBACK NoteButton(HWND child, LPARAM lp)
{
    ButtonSearch &s = *reinterpret_cast<ButtonSearch *>(lp);
    if (_stricmp(ClassOf(child).c_str(), "Button") != 0 || !IsWindowVisible(child)) return TRUE;
    int id = GetDlgCtrlID(child);
    if (!s.firstId) s.firstId = id;
    if ((GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) s.defaultId = id;
    return s.defaultId == 0;
}

// The box's default button unless the test names one: that is what Enter would press.
// Wine's message boxes answer DM_GETDEFID with IDOK even when they have no such
// button (Yes/No), so an answer only counts when the button exists.
int ButtonToPress(const Args &a, HWND box)
{
    int id = IDOK;
    if (!a.button.empty()) {
        ParseButton(a.button, id);
        return id;
    }
    DWORD_PTR def = 0;
    if (SendMessageTimeoutA(box, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &def) &&
        HIWORD(def) == DC_HASDEFID && GetDlgItem(box, LOWORD(def)))
        return LOWORD(def);
    ButtonSearch s;
    EnumChildWindows(box, NoteButton, reinterpret_cast<LPARAM>(&s));
    return s.defaultId ? s.defaultId : s.firstId ? s.firstId : IDOK;
}

// --- commands --------------------------------------------------------------

int FindWindowCmd(const Args &a)
{
    HWND h = WaitTarget(a);
    if (!h) return 1;
    PrintHwnd(h);
    return 0;
}

int PostCmd(const Args &a, UINT msg, WPARAM wp, LPARAM lp)
{
    HWND h = WaitTarget(a);
    if (!h) { std::fputs("wintool: window not found\n", stderr); return 1; }
    if (!PostMessageA(h, msg, wp, lp)) {
        std::fprintf(stderr, "wintool: Error %lu: PostMessage failed\n", GetLastError());
        return 1;
    }
    PrintHwnd(h);
    return 0;
}

int WaitGoneCmd(const Args &a)
{
    DWORD start = GetTickCount();
    while (FindTarget(a)) {
        if (GetTickCount() - start >= a.waitMs) return 1;
        Sleep(kPollMs);
    }
    return 0;
}

BOOL CALLBACK PrintWindow(HWND h, LPARAM lp)
{
    DWORD pid = ProcessOf(h);
    if (lp && pid != static_cast<DWORD>(lp)) return TRUE;
    std::printf("0x%08lx\t%lu\t%d\t%s\t%s\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(h)),
                pid, IsWindowVisible(h) ? 1 : 0, Escape(ClassOf(h)).c_str(), Escape(WindowText(h)).c_str());
    return TRUE;
}

int ListWindowsCmd(const Args &a)
{
    DWORD pid = 0;
    if (!a.processOf.empty()) {
        HWND owner = FindWindowA(nullptr, a.processOf.c_str());
        if (!owner) return 1;
        pid = ProcessOf(owner);
    }
    EnumWindows(PrintWindow, static_cast<LPARAM>(pid));
    return 0;
}

int ListBoxesCmd(const Args &a)
{
    for (HWND h : FindBoxes(a, false)) PrintBox(h);
    return 0;
}

int WaitBoxCmd(const Args &a)
{
    HWND h = WaitBox(a);
    if (!h) return 1;
    PrintBox(h);
    return 0;
}

int DismissBoxCmd(const Args &a)
{
    HWND box = WaitBox(a);
    if (!box) return 1;
    PrintBox(box);
    int id = ButtonToPress(a, box);
    HWND button = GetDlgItem(box, id);
    DWORD_PTR ignored = 0;
    if (button && SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored))
        return 0;
    // No such button (or it did not answer): the command a click would have sent.
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
}

// The address space of the process that owns the window, as the system sees
// it: what it has committed privately (heaps, packet buffers, committed stack
// pages) and everything mapped or reserved.
int MemoryCmd(const Args &a)
{
    HWND h = WaitTarget(a);
    DWORD pid = 0;
    if (!h || !GetWindowThreadProcessId(h, &pid)) return 1;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        std::fprintf(stderr, "wintool: Error %lu: OpenProcess failed\n", GetLastError());
        return 1;
    }
    unsigned long long committed = 0, mapped = 0;
    MEMORY_BASIC_INFORMATION info;
    for (char *at = nullptr; VirtualQueryEx(process, at, &info, sizeof info) == sizeof info;) {
        if (info.State != MEM_FREE) mapped += info.RegionSize;
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) committed += info.RegionSize;
        char *next = static_cast<char *>(info.BaseAddress) + info.RegionSize;
        if (next <= at) break;
        at = next;
    }
    CloseHandle(process);
    std::printf("%llu\t%llu\n", committed, mapped);
    return 0;
}

int Run(const std::string &cmd, const Args &a)
{
    const std::vector<std::string> &p = a.positional;
    unsigned long n[3] = {0, 0, 0};
    if (cmd == "list-windows") return p.empty() ? ListWindowsCmd(a) : Usage();
    if (cmd == "list-boxes") return p.empty() ? ListBoxesCmd(a) : Usage();
    if (cmd == "wait-box") return p.empty() ? WaitBoxCmd(a) : Usage();
    if (cmd == "dismiss-box") {
        int id;
        if (!p.empty() || (!a.button.empty() && !ParseButton(a.button, id))) return Usage();
        return DismissBoxCmd(a);
    }
    if (!HasTarget(a)) return Usage();
    if (cmd == "find-window" && p.empty()) return FindWindowCmd(a);
    if (cmd == "close-window" && p.empty()) return PostCmd(a, WM_CLOSE, 0, 0);
    if (cmd == "wait-gone" && p.empty()) return WaitGoneCmd(a);
    if (cmd == "memory" && p.empty()) return MemoryCmd(a);
    if (cmd == "post-command" && p.size() == 1 && ParseNumber(p[0].c_str(), n[0]))
        return PostCmd(a, WM_COMMAND, n[0], 0);
    if (cmd == "post-message" && p.size() == 3 && ParseNumber(p[0].c_str(), n[0]) &&
        ParseNumber(p[1].c_str(), n[1]) && ParseNumber(p[2].c_str(), n[2]))
        return PostCmd(a, static_cast<UINT>(n[0]), n[1], static_cast<LPARAM>(n[2]));
    return Usage();
}

} // namespace

int main(int argc, char **argv)
{
    Args a;
    if (argc < 2 || !ParseArgs(argc, argv, a)) return Usage();
    int rc = Run(argv[1], a);
    std::fflush(stdout);
    return rc;
}
