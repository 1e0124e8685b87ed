// The slides plug-in as the hub runs it: loaded from its DLL, a user
// attached through the hub's own plug-in thread stream, and a stand-in
// presentation window (tools/keyrecorder) in another process that reports
// every key message it receives. So each request is checked end to end: the
// keys that reach a foreign window, and the answer that reaches the user.
// NORVANE_TEST_USES_HUB_PORTS: not for the ports but for the desktop. These
// cases depend on which presentation and foreground windows exist, so they
// take the lock that keeps them apart from the system tests, whose hubs,
// dialogs and stand-in windows would otherwise be found instead.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "attached_user.h"
#include "framework/app.h"
#include "plugin_dir.h"
#include "../../plugins/slides/slides_protocol.h"
#include "test_hub.h"

namespace {

std::string BuildPath(const std::string &relative) { return std::string(fw::GetModuleDir()) + "..\\" + relative; }

// keyrecorder.exe in a process of its own; its lines are collected as they come.
class StandInWindow {
public:
    explicit StandInWindow(const std::string &cls, const std::string &title = "Stand-in deck",
                           bool foreground = false) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0)) return;
        ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = writeEnd;
        si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        std::string command = "\"" + BuildPath("tools\\keyrecorder\\keyrecorder.exe") + "\" --lifetime 60 --class \"" +
                              cls + "\" --title \"" + title + "\"" + (foreground ? " --foreground" : "");
        PROCESS_INFORMATION pi = {};
        BOOL started = ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        ::CloseHandle(writeEnd);
        if (!started) {
            ::CloseHandle(readEnd);
            return;
        }
        ::CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
        m_reader = std::thread([this, readEnd] { ReadLines(readEnd); });
        WaitFor([this] { return !m_lines.empty(); }, 15000);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_lines.empty() && m_lines[0].rfind("ready ", 0) == 0)
            m_hWnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(strtoul(m_lines[0].c_str() + 6, nullptr, 16)));
    }

    ~StandInWindow() { Close(); }

    void Close() {
        if (m_hProcess) {
            if (m_hWnd) ::PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
            if (::WaitForSingleObject(m_hProcess, 10000) != WAIT_OBJECT_0) ::TerminateProcess(m_hProcess, 1);
            ::CloseHandle(m_hProcess);
            m_hProcess = nullptr;
        }
        if (m_reader.joinable()) m_reader.join();  // the pipe ends with the process
    }

    HWND Handle() const { return m_hWnd; }

    // The "down"/"up" lines after the ready line, once `count` of them arrived
    // (or what there is after the time-out); taken, so the next call starts afresh.
    std::vector<std::string> TakeKeys(size_t count, DWORD timeoutMs = 5000) {
        WaitFor([&] { return Keys().size() >= count; }, timeoutMs);
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> keys;
        for (size_t i = 1; i < m_lines.size(); ++i)
            if (m_lines[i].rfind("down ", 0) == 0 || m_lines[i].rfind("up ", 0) == 0) keys.push_back(m_lines[i]);
        m_lines.resize(1);
        return keys;
    }

    // Every "char" line so far.
    std::vector<std::string> Chars() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_chars;
    }

private:
    std::vector<std::string> Keys() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> keys;
        for (const std::string &line : m_lines)
            if (line.rfind("down ", 0) == 0 || line.rfind("up ", 0) == 0) keys.push_back(line);
        return keys;
    }

    template <class Done> static void WaitFor(Done done, DWORD timeoutMs) {
        DWORD start = ::GetTickCount();
        while (!done() && ::GetTickCount() - start < timeoutMs) ::Sleep(10);
    }

    void ReadLines(HANDLE pipe) {
        char buffer[512];
        DWORD n = 0;
        std::string partial;
        while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n) {
            partial.append(buffer, n);
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                partial.erase(0, end + 1);
                std::lock_guard<std::mutex> lock(m_mutex);
                (line.rfind("char ", 0) == 0 ? m_chars : m_lines).push_back(line);
            }
        }
        ::CloseHandle(pipe);
    }

    HANDLE m_hProcess = nullptr;
    HWND m_hWnd = nullptr;
    std::thread m_reader;
    std::mutex m_mutex;               // guards m_lines; reader thread and test thread
    std::vector<std::string> m_lines;  // m_lines[0] is the ready line
    std::vector<std::string> m_chars;
};

// slides.dll loaded from a copy, its entry point called as the hub's loader does.
class SlidesPlugin {
public:
    SlidesPlugin() {
        m_bCopied = ::CopyFileA(BuildPath("plugins\\slides.dll").c_str(), (m_dir.Path() + "NvSlides.dll").c_str(),
                                FALSE) != 0;
        m_hModule = m_bCopied ? ::LoadLibraryA("NvSlides") : nullptr;
        auto entry = m_hModule ? reinterpret_cast<VelmarMainProc>(::GetProcAddress(m_hModule, NV_ENTRY_POINT_NAME))
                               : nullptr;
        if (entry && entry(nullptr, &m_info)) m_hThread = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(m_info.hThread));
    }
    ~SlidesPlugin() {
        if (m_hThread) {
            ::PostThreadMessageA(m_info.threadId, WM_QUIT, 0, 0);
            ::WaitForSingleObject(m_hThread, 5000);
        }
        if (m_hModule) ::FreeLibrary(m_hModule);
        ::DeleteFileA((m_dir.Path() + "NvSlides.dll").c_str());
    }
    bool Running() const { return m_hThread != nullptr; }
    DWORD ThreadId() const { return m_info.threadId; }
    bool ThreadAlive() const { return m_hThread && ::WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT; }

private:
    PluginDir m_dir;
    bool m_bCopied = false;
    HMODULE m_hModule = nullptr;
    PluginInfo m_info = {};
    HANDLE m_hThread = nullptr;
};

Bytes Packet(uint8_t command, const Bytes &payload = {}) {
    Bytes packet = {command, static_cast<uint8_t>(payload.size() & 0xFF), static_cast<uint8_t>(payload.size() >> 8)};
    if (payload.size() >= NV_PACKET_LENGTH_ESCAPE) {
        uint32_t n = static_cast<uint32_t>(payload.size());
        packet = {command, 0xFF, 0xFF, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                  static_cast<uint8_t>(n >> 24)};
    }
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

// The answer payloads the user received so far, one per answer packet, in order.
std::vector<Bytes> Answers(const AttachedUser &user) {
    Bytes written = user.user.Written();
    std::vector<Bytes> answers;
    for (size_t at = 0; at + 3 <= written.size();) {
        size_t length = written[at + 1] | written[at + 2] << 8;
        if (at + 3 + length > written.size()) break;
        EXPECT_EQ(SLIDES_ANSWER, written[at]) << "a packet that is no answer";
        answers.emplace_back(written.begin() + at + 3, written.begin() + at + 3 + length);
        at += 3 + length;
    }
    return answers;
}

// Sends one request and waits for its answer: the answer's payload, or empty.
Bytes Ask(AttachedUser &user, const Bytes &request) {
    size_t before = Answers(user).size();
    user.Send(request);
    PumpUntil([&] { return Answers(user).size() > before; }, 5000);
    std::vector<Bytes> answers = Answers(user);
    return answers.size() == before + 1 ? answers.back() : Bytes();
}

Bytes Result(uint8_t command, uint8_t result) { return {command, result}; }

std::vector<std::string> Press(const char *vk, bool extended) {
    std::string suffix = std::string(vk) + (extended ? " 1" : " 0");
    return {"down " + suffix, "up " + suffix};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class SlidesPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Running()) << "slides.dll did not load or its entry point failed";
        m_user.reset(new AttachedUser(100, m_plugin.ThreadId(), "Presenter"));
    }
    SlidesPlugin m_plugin;
    std::unique_ptr<AttachedUser> m_user;
};

TEST_F(SlidesPluginTest, EachCommandReachesThePresentationWindowAsAPresentersKeys) {
    StandInWindow deck("PP97FrameClass");
    ASSERT_TRUE(deck.Handle()) << "the stand-in window did not start";
    struct Case {
        Bytes request;
        std::vector<std::string> keys;
    } cases[] = {
        {Packet(SLIDES_CMD_NEXT), Press("22", true)},      {Packet(SLIDES_CMD_PREVIOUS), Press("21", true)},
        {Packet(SLIDES_CMD_FIRST), Press("24", true)},     {Packet(SLIDES_CMD_LAST), Press("23", true)},
        {Packet(SLIDES_CMD_BLACK), Press("42", false)},    {Packet(SLIDES_CMD_WHITE), Press("57", false)},
        {Packet(SLIDES_CMD_START), Press("74", false)},    {Packet(SLIDES_CMD_END), Press("1b", false)},
        {Packet(SLIDES_CMD_GOTO, {12, 0}), Concat({Press("31", false), Press("32", false), Press("0d", false)})},
        {Packet(SLIDES_CMD_GOTO, {0xFF, 0xFF}),
         Concat({Press("36", false), Press("35", false), Press("35", false), Press("33", false), Press("35", false),
                 Press("0d", false)})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.request[0]));
        EXPECT_EQ(Result(c.request[0], SLIDES_RESULT_DONE), Ask(*m_user, c.request));
        EXPECT_EQ(c.keys, deck.TakeKeys(c.keys.size()));
    }
    // Letters and digits arrive as typed ones do, so a program that reads WM_CHAR sees them too.
    std::vector<std::string> chars = deck.Chars();
    EXPECT_NE(std::find(chars.begin(), chars.end(), "char 62"), chars.end()) << "no 'b' for black";
}

TEST_F(SlidesPluginTest, QueryNamesTheWindowAndAnOlderProgramsWindowIsFoundToo) {
    {
        StandInWindow older("PP9FrameClass", "Older deck");
        ASSERT_TRUE(older.Handle());
        std::string expected = std::string("\x49\x00\x02", 3) + "Older deck";
        EXPECT_EQ(Bytes(expected.begin(), expected.end()), Ask(*m_user, Packet(SLIDES_CMD_QUERY)));
        StandInWindow newer("PP97FrameClass", "Newer deck");
        ASSERT_TRUE(newer.Handle());
        expected = std::string("\x49\x00\x01", 3) + "Newer deck";
        EXPECT_EQ(Bytes(expected.begin(), expected.end()), Ask(*m_user, Packet(SLIDES_CMD_QUERY)));
        EXPECT_EQ(Result(SLIDES_CMD_NEXT, SLIDES_RESULT_DONE), Ask(*m_user, Packet(SLIDES_CMD_NEXT)));
        EXPECT_EQ(Press("22", true), newer.TakeKeys(2));
        EXPECT_TRUE(older.TakeKeys(1, 300).empty()) << "the older program's window got keys too";
    }
}

TEST_F(SlidesPluginTest, WithoutAPresentationWindowTheForegroundWindowGetsTheKeys) {
    StandInWindow other("NotAPresentation", "Viewer", true);
    ASSERT_TRUE(other.Handle());
    if (::GetForegroundWindow() != other.Handle()) {
        // Give the window manager a moment; without it nothing can be checked here.
        PumpUntil([&] { return ::GetForegroundWindow() == other.Handle(); }, 2000);
    }
    ASSERT_EQ(other.Handle(), ::GetForegroundWindow()) << "the stand-in could not become the foreground window";
    EXPECT_EQ(Result(SLIDES_CMD_LAST, SLIDES_RESULT_DONE), Ask(*m_user, Packet(SLIDES_CMD_LAST)));
    EXPECT_EQ(Press("23", true), other.TakeKeys(2));
    Bytes query = Ask(*m_user, Packet(SLIDES_CMD_QUERY));
    ASSERT_GE(query.size(), 3u);
    EXPECT_EQ(SLIDES_WINDOW_FOREGROUND, query[2]);
}

TEST_F(SlidesPluginTest, NoWindowAtAllIsAnsweredAsSuch) {
    if (::GetForegroundWindow()) {
        PumpUntil([] { return ::GetForegroundWindow() == nullptr; }, 3000);
    }
    ASSERT_EQ(nullptr, ::GetForegroundWindow()) << "some window is in the foreground; cannot check 'no window'";
    ASSERT_EQ(nullptr, ::FindWindowA("PP97FrameClass", nullptr));
    ASSERT_EQ(nullptr, ::FindWindowA("PP9FrameClass", nullptr));
    for (uint8_t command : {SLIDES_CMD_NEXT, SLIDES_CMD_START, SLIDES_CMD_QUERY})
        EXPECT_EQ(Result(command, SLIDES_RESULT_NO_WINDOW), Ask(*m_user, Packet(command)));
    EXPECT_EQ(Result(SLIDES_CMD_GOTO, SLIDES_RESULT_NO_WINDOW), Ask(*m_user, Packet(SLIDES_CMD_GOTO, {3, 0})));
}

// The operator's dialog in front must not get a presenter's Escape or Enter.
TEST_F(SlidesPluginTest, TheHubsOwnForegroundWindowIsNoPresentation) {
    HWND own = ::CreateWindowA("STATIC", "Operator's dialog", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                               nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_TRUE(own);
    ::SetForegroundWindow(own);
    PumpUntil([&] { return ::GetForegroundWindow() == own; }, 2000);
    ASSERT_EQ(own, ::GetForegroundWindow()) << "this process's window could not become the foreground window";
    EXPECT_EQ(Result(SLIDES_CMD_END, SLIDES_RESULT_NO_WINDOW), Ask(*m_user, Packet(SLIDES_CMD_END)));
    EXPECT_EQ(Result(SLIDES_CMD_QUERY, SLIDES_RESULT_NO_WINDOW), Ask(*m_user, Packet(SLIDES_CMD_QUERY)));
    ::DestroyWindow(own);
}

TEST_F(SlidesPluginTest, UnknownAndMalformedRequestsGetAnErrorAndSendNoKeys) {
    StandInWindow deck("PP97FrameClass");
    ASSERT_TRUE(deck.Handle());
    const uint8_t unknown[] = {0x20, 0x3F, 0x4A, SLIDES_ANSWER, 0xFF, NV_CMD_USER_ADDED, NV_CMD_PLUGIN_NAME};
    for (uint8_t command : unknown) {
        SCOPED_TRACE(int(command));
        EXPECT_EQ(Result(command, SLIDES_RESULT_UNKNOWN), Ask(*m_user, Packet(command, {1, 2})));
    }
    struct Case {
        Bytes request;
    } malformed[] = {
        {Packet(SLIDES_CMD_NEXT, {0})},        {Packet(SLIDES_CMD_QUERY, {'?'})},
        {Packet(SLIDES_CMD_GOTO)},             {Packet(SLIDES_CMD_GOTO, {5})},
        {Packet(SLIDES_CMD_GOTO, {0, 0})},     {Packet(SLIDES_CMD_GOTO, {5, 0, 0})},
        {Packet(SLIDES_CMD_END, Bytes(70000, 0))},
    };
    for (const Case &c : malformed) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.request[0]) << " size " << c.request.size());
        EXPECT_EQ(Result(c.request[0], SLIDES_RESULT_MALFORMED), Ask(*m_user, c.request));
    }
    EXPECT_TRUE(deck.TakeKeys(1, 500).empty()) << "a refused request sent keys";
    // Still serving afterwards.
    EXPECT_EQ(Result(SLIDES_CMD_NEXT, SLIDES_RESULT_DONE), Ask(*m_user, Packet(SLIDES_CMD_NEXT)));
    EXPECT_EQ(Press("22", true), deck.TakeKeys(2));
}

// What the hub never produces but a careless peer or plug-in host might: a
// buffer shorter than its header says. The plug-in reads only its own block.
TEST_F(SlidesPluginTest, BufferShorterThanItsHeaderIsMalformedNotRead) {
    StandInWindow deck("PP97FrameClass");
    ASSERT_TRUE(deck.Handle());
    struct Case {
        Bytes buffer;
        uint8_t result;
    } cases[] = {
        {{SLIDES_CMD_GOTO, 0x10, 0x00, 5}, SLIDES_RESULT_MALFORMED},            // claims 16 bytes, holds 1
        {{SLIDES_CMD_NEXT}, SLIDES_RESULT_MALFORMED},                           // command byte only
        {{SLIDES_CMD_NEXT, 0xFF, 0xFF, 0, 0}, SLIDES_RESULT_MALFORMED},         // extended length cut short
        {{SLIDES_CMD_QUERY, 0xFF, 0xFF, 0, 0, 0, 0}, SLIDES_RESULT_DONE},       // extended form, empty: fine
        {{0x77, 0x40, 0x00}, SLIDES_RESULT_UNKNOWN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "buffer of " << c.buffer.size() << " bytes");
        size_t before = Answers(*m_user).size();
        // GlobalAlloc may round the block up; GMEM_FIXED blocks of these sizes report their exact size.
        uint8_t *copy = static_cast<uint8_t *>(::GlobalAlloc(GMEM_FIXED, c.buffer.size()));
        ASSERT_TRUE(copy);
        memcpy(copy, c.buffer.data(), c.buffer.size());
        ASSERT_TRUE(::PostThreadMessageA(m_plugin.ThreadId(), WM_PLUGIN_USER_PACKET,
                                         reinterpret_cast<WPARAM>(&m_user->info), reinterpret_cast<LPARAM>(copy)));
        PumpUntil([&] { return Answers(*m_user).size() > before; }, 5000);
        std::vector<Bytes> answers = Answers(*m_user);
        ASSERT_EQ(before + 1, answers.size());
        EXPECT_EQ(Result(c.buffer[0], c.result), Bytes(answers.back().begin(), answers.back().begin() + 2));
    }
    EXPECT_TRUE(deck.TakeKeys(1, 300).empty());
    EXPECT_TRUE(m_plugin.ThreadAlive());
}

TEST_F(SlidesPluginTest, EachUserGetsItsOwnAnswersAndAnEchoIsNotAnswered) {
    StandInWindow deck("PP97FrameClass");
    ASSERT_TRUE(deck.Handle());
    AttachedUser second(101, m_plugin.ThreadId(), "Co-presenter");
    EXPECT_EQ(Result(SLIDES_CMD_PREVIOUS, SLIDES_RESULT_DONE), Ask(second, Packet(SLIDES_CMD_PREVIOUS)));
    EXPECT_EQ(Result(SLIDES_CMD_FIRST, SLIDES_RESULT_DONE), Ask(*m_user, Packet(SLIDES_CMD_FIRST)));
    EXPECT_EQ(1u, Answers(second).size());
    EXPECT_EQ(Concat({Press("21", true), Press("24", true)}), deck.TakeKeys(4));
    // The hub answers an ECHO itself and hands the plug-in 05 00 00: nothing goes back.
    ASSERT_TRUE(second.PostFromPlugin(Packet(NV_CMD_ECHO)));
    PumpFor(300);
    EXPECT_EQ(1u, Answers(second).size());
    EXPECT_TRUE(m_plugin.ThreadAlive());
}

}  // namespace
