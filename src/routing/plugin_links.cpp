// Network plug-in links as the hub window keeps them: the records of every
// program on the plug-in port, from accept to their end.
//
// A link's reader thread reaches the hub only with SendMessage, and the hub
// may already have destroyed the record such a message names (a replacement
// or shutdown handled while the sender waited). So a record that arrives from
// another thread is trusted only while m_pluginLinks or the catalogue still
// holds it, and a link is destroyed in one place, EndPluginLink, after which
// no table refers to it.
#include <algorithm>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "routing/plugin_record.h"
#include "framework/handles.h"
#include "stream/plugin_socket_stream.h"
#include "stream/plugin_thread_stream.h"
#include "stream/stream.h"

namespace {

// The user's plug-in side belongs to `record`: its network link, or a
// per-user stream that posts to its thread.
bool AttachedTo(const CUserConnection *connection, const CPluginRecord *record) {
    CStream *peer = connection->stream ? connection->stream->GetPeer() : nullptr;
    if (!peer) return false;
    if (record->m_pStream) return peer == record->m_pStream;
    auto *side = dynamic_cast<CPluginThreadStream *>(peer);
    return side && record->m_nThreadId && side->GetPluginThreadId() == record->m_nThreadId;
}

// How long the hub waits for a link's reader thread to end once its stream
// is gone; it is woken at once, so this only bounds a reader stuck elsewhere.
const DWORD kReaderEndWaitMs = 5000;

// Waits for the thread while handling messages sent to this thread, so a
// reader that is handing something to the hub window can finish and end.
void WaitForReader(HANDLE thread) {
    DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD waited = ::GetTickCount() - start;
        if (waited >= kReaderEndWaitMs) return;
        DWORD r = ::MsgWaitForMultipleObjects(1, &thread, FALSE, kReaderEndWaitMs - waited, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) return;  // ended, timed out, or the wait failed
    }
}

}  // namespace

bool CHubFrame::IsPluginLink(const CPluginRecord *record) const {
    return record && std::find(m_pluginLinks.begin(), m_pluginLinks.end(), record) != m_pluginLinks.end();
}

void CHubFrame::DetachUsersOf(CPluginRecord *record) {
    for (auto &entry : m_connections) {
        CUserConnection *connection = entry.second;
        if (!connection || !AttachedTo(connection, record)) continue;
        DetachUser(connection);
        connection->pluginIndex = -1;
    }
}

void CHubFrame::EndPluginLink(CPluginRecord *record, bool waitForReader) {
    m_pluginLinks.erase(std::remove(m_pluginLinks.begin(), m_pluginLinks.end(), record), m_pluginLinks.end());
    m_plugins.erase(std::remove(m_plugins.begin(), m_plugins.end(), record), m_plugins.end());
    // Users the plug-in-lost steps have not reached (attached while they
    // ran) must not keep a peer that is about to go.
    if (CStream *stream = record->m_pStream) {
        for (auto &entry : m_connections) {
            CUserConnection *connection = entry.second;
            if (!connection || !connection->stream || connection->stream->GetPeer() != stream) continue;
            connection->stream->DetachPeer(&connection->userInfo);
            connection->pluginIndex = -1;
        }
    }
    auto *link = dynamic_cast<CPluginSocketStream *>(record->m_pStream);
    fw::Handle reader(waitForReader && link ? link->DuplicateReaderHandle() : nullptr);
    delete record;  // closes the link; its reader touches nothing of it afterwards
    // The reader still holds the socket's last reference for a moment; it
    // must be gone before the hub lets the sockets library go.
    if (reader) WaitForReader(reader.Get());
}

LRESULT CHubFrame::OnPluginLinkEnded(WPARAM wParam, LPARAM) {
    auto *record = reinterpret_cast<CPluginRecord *>(wParam);
    // The sender is this record's reader, waiting for the answer: it ends
    // by itself right after.
    if (IsPluginLink(record)) EndPluginLink(record, false);
    return 1;
}
