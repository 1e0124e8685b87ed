// CPluginRecord: construction from what VelmarMain reported, the posts to
// the plug-in thread, the hand-over to the catalogue, and the ordered end.
#include "routing/plugin_record.h"
#include "app/hub_messages.h"
#include "framework/app.h"
#include "stream/stream.h"

namespace {
// How long a plug-in thread may take to end after WM_QUIT; part of the
// plug-in contract.
const DWORD kPluginQuitWaitMs = 5000;
}  // namespace

CPluginRecord::CPluginRecord()
    : m_dwValue1(0), m_dwValue2(0), m_bQuitPosted(FALSE), m_nThreadId(0), m_hThread(nullptr),
      m_pStream(nullptr), m_strName("None"), m_strLocation("None") {}

CPluginRecord::CPluginRecord(const std::string &name, const PluginInfo &info, CStream *stream,
                             HMODULE module)
    : m_dwValue1(info.value1), m_dwValue2(info.value2), m_bQuitPosted(FALSE), m_hModule(module),
      m_nThreadId(info.threadId), m_hThread(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(info.hThread))),
      m_pStream(stream), m_strName(name), m_strLocation(stream ? stream->GetDescription() : "Local") {}

CPluginRecord::~CPluginRecord() {
    if (m_pStream) {
        CStream *stream = m_pStream;
        m_pStream = nullptr;  // cleared first: the stream's end may look at its record
        delete stream;
    }
    if (m_nThreadId) {
        if (!m_bQuitPosted) PostQuit();
        // Unload only a DLL whose thread is known to have ended; a thread
        // still running (or one the wait cannot see) keeps its code mapped.
        if (!m_hThread || ::WaitForSingleObject(m_hThread, kPluginQuitWaitMs) != WAIT_OBJECT_0)
            m_hModule.Release();
    }
    m_hModule.Reset();
}

void CPluginRecord::PostToPlugin(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (m_nThreadId) ::PostThreadMessageA(m_nThreadId, msg, wParam, lParam);
}

void CPluginRecord::PostQuit() {
    PostToPlugin(WM_QUIT, 0, 0);
    m_bQuitPosted = TRUE;
}

void CPluginRecord::AnnounceName(const std::string &name) {
    m_strRegisteredName = name;
    m_bNameRegistered = true;
}

void CPluginRecord::Register(const std::string &name) {
    AnnounceName(name);
    ::SendMessageA(fw::MainWindowHandle(), WM_PLUGIN_REGISTER, reinterpret_cast<WPARAM>(this), 1);
}

void CPluginRecord::Unregister() {
    ::SendMessageA(fw::MainWindowHandle(), WM_PLUGIN_REGISTER, reinterpret_cast<WPARAM>(this), 0);
}

void CPluginRecord::AdoptRegisteredName() {
    if (!m_bNameRegistered) return;
    m_strName = m_strRegisteredName;
    m_bNameRegistered = false;
}
