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
#include <commctrl.h>
#include <shellapi.h>

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
    bool hasTitle = false, hasClass = false, hasCaption = false, remove = false;
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
        "  controls WINDOW                      every control: hwnd id class visible enabled check style text\n"
        "  click WINDOW ID                      posts a click to the control (buttons, radios, check boxes)\n"
        "  list-view WINDOW ID                  rows: index item-data selected text-of-each-column\n"
        "  list-select WINDOW ID ROW            selects the row and makes it the selection mark\n"
        "  combo-items WINDOW ID                entries: index item-data selected text\n"
        "  combo-select WINDOW ID INDEX\n"
        "  window-rect WINDOW                   left top width height, in screen pixels\n"
        "  post-registered WINDOW NAME          posts the registered message NAME (wParam, lParam 0)\n"
        "  tray-icon WINDOW ICON-ID [--delete]  exit 0 if the shell holds that icon (after --delete: removes it)\n"
        "  memory WINDOW                        the owning process: committed private bytes, then all mapped bytes\n"
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
        if (opt == "--delete") { a.remove = true; continue; }
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

// --- controls of another process ------------------------------------------

// Memory in the process that owns a window, for the controls whose messages
// carry pointers that the system does not carry across processes.
class RemoteBuffer {
public:
    RemoteBuffer(HWND owner, SIZE_T size) : m_size(size)
    {
        m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, ProcessOf(owner));
        if (m_process) m_p = VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBuffer()
    {
        if (m_p) VirtualFreeEx(m_process, m_p, 0, MEM_RELEASE);
        if (m_process) CloseHandle(m_process);
    }
    RemoteBuffer(const RemoteBuffer &) = delete;
    RemoteBuffer &operator=(const RemoteBuffer &) = delete;
    bool Ok() const { return m_p != nullptr; }
    char *At(SIZE_T offset) const { return static_cast<char *>(m_p) + offset; }
    bool Write(SIZE_T offset, const void *data, SIZE_T n) const
    {
        return WriteProcessMemory(m_process, At(offset), data, n, nullptr) != FALSE;
    }
    bool Read(SIZE_T offset, void *data, SIZE_T n) const
    {
        return ReadProcessMemory(m_process, At(offset), data, n, nullptr) != FALSE;
    }

private:
    HANDLE m_process = nullptr;
    void *m_p = nullptr;
    SIZE_T m_size;
};

LRESULT Send(HWND h, UINT msg, WPARAM wp, LPARAM lp, bool *ok = nullptr)
{
    DWORD_PTR result = 0;
    bool sent = SendMessageTimeoutA(h, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) != 0;
    if (ok) *ok = sent;
    return sent ? static_cast<LRESULT>(result) : 0;
}

HWND Control(const Args &a, unsigned long id)
{
    HWND top = WaitTarget(a);
    HWND item = top ? GetDlgItem(top, static_cast<int>(id)) : nullptr;
    if (!item) std::fputs("wintool: control not found\n", stderr);
    return item;
}

// The control's own text: GetWindowText of another process's window reads
// only the caption stored with the window, never an edit box's contents.
std::string ControlText(HWND h)
{
    char buf[4096] = "";
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &n))
        return WindowText(h);
    buf[sizeof buf - 1] = '\0';
    return buf;
}

BOOL CALLBACK PrintControl(HWND h, LPARAM)
{
    std::string cls = ClassOf(h);
    int check = _stricmp(cls.c_str(), "Button") == 0 ? static_cast<int>(Send(h, BM_GETCHECK, 0, 0)) : -1;
    std::printf("0x%08lx\t%d\t%s\t%d\t%d\t%d\t0x%08lx\t%s\n",
                static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(h)), GetDlgCtrlID(h), Escape(cls).c_str(),
                IsWindowVisible(h) ? 1 : 0, IsWindowEnabled(h) ? 1 : 0, check,
                static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)), Escape(ControlText(h)).c_str());
    return TRUE;
}

int ControlsCmd(const Args &a)
{
    HWND top = WaitTarget(a);
    if (!top) return 1;
    EnumChildWindows(top, PrintControl, 0);
    return 0;
}

int ClickCmd(const Args &a, unsigned long id)
{
    HWND item = Control(a, id);
    // Posted: the click may open a modal window, and the tool must not wait for it to close.
    return item && PostMessageA(item, BM_CLICK, 0, 0) ? 0 : 1;
}

const int kTextMax = 512;

std::string ListViewText(HWND list, const RemoteBuffer &mem, int row, int column)
{
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = mem.At(sizeof item);
    item.cchTextMax = kTextMax;
    char text[kTextMax + 1] = "";
    if (mem.Write(0, &item, sizeof item) &&
        Send(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(mem.At(0))) >= 0)
        mem.Read(sizeof item, text, kTextMax);
    text[kTextMax] = '\0';
    return text;
}

int ListViewCmd(const Args &a, unsigned long id)
{
    HWND list = Control(a, id);
    if (!list) return 1;
    RemoteBuffer mem(list, sizeof(LVITEMA) + kTextMax);
    if (!mem.Ok()) { std::fputs("wintool: no memory in the window's process\n", stderr); return 1; }
    HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER, 0, 0));
    int columns = header ? static_cast<int>(Send(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM | LVIF_STATE;
        item.stateMask = LVIS_SELECTED;
        item.iItem = row;
        mem.Write(0, &item, sizeof item);
        Send(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(mem.At(0)));
        mem.Read(0, &item, sizeof item);
        std::printf("%d\t%ld\t%d", row, static_cast<long>(item.lParam), (item.state & LVIS_SELECTED) ? 1 : 0);
        for (int c = 0; c < columns; ++c) std::printf("\t%s", Escape(ListViewText(list, mem, row, c)).c_str());
        std::printf("\n");
    }
    return 0;
}

int ListSelectCmd(const Args &a, unsigned long id, unsigned long row)
{
    HWND list = Control(a, id);
    if (!list) return 1;
    RemoteBuffer mem(list, sizeof(LVITEMA));
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (!mem.Ok() || !mem.Write(0, &item, sizeof item)) return 1;
    bool ok = false;
    Send(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(mem.At(0)), &ok);
    Send(list, LVM_SETSELECTIONMARK, 0, static_cast<LPARAM>(row));
    return ok ? 0 : 1;
}

// CB_GETLBTEXT is one of the messages the system carries across processes
// itself, so it takes a buffer of this process. Asked in the ANSI form across
// processes, Wine hands back the wide text: ask in the wide form.
int ComboItemsCmd(const Args &a, unsigned long id)
{
    HWND combo = Control(a, id);
    if (!combo) return 1;
    int count = static_cast<int>(Send(combo, CB_GETCOUNT, 0, 0));
    int selected = static_cast<int>(Send(combo, CB_GETCURSEL, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t wide[kTextMax] = L"";
        DWORD_PTR ignored = 0;
        if (Send(combo, CB_GETLBTEXTLEN, i, 0) < kTextMax)
            SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide), SMTO_ABORTIFHUNG,
                                kSendTimeoutMs, &ignored);
        wide[kTextMax - 1] = L'\0';
        char text[kTextMax] = "";
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, kTextMax, nullptr, nullptr);
        std::printf("%d\t%ld\t%d\t%s\n", i, static_cast<long>(Send(combo, CB_GETITEMDATA, i, 0)),
                    i == selected ? 1 : 0, Escape(text).c_str());
    }
    return 0;
}

int ComboSelectCmd(const Args &a, unsigned long id, unsigned long index)
{
    HWND combo = Control(a, id);
    return combo && Send(combo, CB_SETCURSEL, index, 0) == static_cast<LRESULT>(index) ? 0 : 1;
}

int WindowRectCmd(const Args &a)
{
    HWND h = WaitTarget(a);
    RECT r;
    if (!h || !GetWindowRect(h, &r)) return 1;
    std::printf("%ld\t%ld\t%ld\t%ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

int PostRegisteredCmd(const Args &a, const std::string &name)
{
    UINT msg = RegisterWindowMessageA(name.c_str());
    return msg ? PostCmd(a, msg, 0, 0) : 1;
}

// Modifying nothing succeeds only for an icon the shell holds.
int TrayIconCmd(const Args &a, unsigned long id)
{
    HWND h = WaitTarget(a);
    if (!h) return 1;
    NOTIFYICONDATAA nid = {};
    nid.cbSize = 88;
    nid.hWnd = h;
    nid.uID = static_cast<UINT>(id);
    if (a.remove) return Shell_NotifyIconA(NIM_DELETE, &nid) ? 0 : 1;
    return Shell_NotifyIconA(NIM_MODIFY, &nid) ? 0 : 1;
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
    if (cmd == "controls" && p.empty()) return ControlsCmd(a);
    if (cmd == "window-rect" && p.empty()) return WindowRectCmd(a);
    if (cmd == "post-registered" && p.size() == 1) return PostRegisteredCmd(a, p[0]);
    bool one = p.size() == 1 && ParseNumber(p[0].c_str(), n[0]);
    bool two = p.size() == 2 && ParseNumber(p[0].c_str(), n[0]) && ParseNumber(p[1].c_str(), n[1]);
    if (cmd == "click" && one) return ClickCmd(a, n[0]);
    if (cmd == "list-view" && one) return ListViewCmd(a, n[0]);
    if (cmd == "list-select" && two) return ListSelectCmd(a, n[0], n[1]);
    if (cmd == "combo-items" && one) return ComboItemsCmd(a, n[0]);
    if (cmd == "combo-select" && two) return ComboSelectCmd(a, n[0], n[1]);
    if (cmd == "tray-icon" && one) return TrayIconCmd(a, n[0]);
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
