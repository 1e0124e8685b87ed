// The plug-in catalogue: find, load, add, remove.
//
// Everything here runs on the hub window's thread, so m_plugins needs no
// lock. Records are found by name for the router, but replaced and removed
// by identity: after a replacement another record can carry the same name
// and location, and removing that one instead would lose a live plug-in. A
// record leaves the table before it is destroyed, so whatever its end sets
// off (a message handled meanwhile) never finds it there.
#include <mbstring.h>
#include <memory>
#include "app/hub_frame.h"
#include "app/user_connection.h"
#include "framework/app.h"
#include "framework/message_box.h"
#include "routing/plugin_record.h"
#include "stream/stream.h"

bool SamePluginName(const std::string &a, const std::string &b) {
    // _mbsicmp folds letter case but leaves double-byte characters whole.
    return ::_mbsicmp(reinterpret_cast<const unsigned char *>(a.c_str()),
                      reinterpret_cast<const unsigned char *>(b.c_str())) == 0;
}

namespace {

int IndexOfRecord(const std::vector<CPluginRecord *> &plugins, const CPluginRecord *record) {
    for (size_t i = 0; i < plugins.size(); ++i)
        if (plugins[i] == record) return static_cast<int>(i);
    return -1;
}

// The first entry other than `self` named `name`, or -1.
int IndexOfOtherNamed(const std::vector<CPluginRecord *> &plugins, const std::string &name,
                      const CPluginRecord *self) {
    for (size_t i = 0; i < plugins.size(); ++i)
        if (plugins[i] != self && SamePluginName(plugins[i]->m_strName, name)) return static_cast<int>(i);
    return -1;
}

// A plug-in is named, never located: the name may come from a handheld, and
// a path in it (a share on another host, say) would let the handheld have
// the hub run any DLL it likes. _mbspbrk keeps a double-byte character
// whose second byte happens to be a backslash.
bool IsBareName(const char *name) {
    return *name && !::_mbspbrk(reinterpret_cast<const unsigned char *>(name),
                                reinterpret_cast<const unsigned char *>("\\/:"));
}

}  // namespace

int CHubFrame::FindPlugin(const char *name) const {
    return IndexOfOtherNamed(m_plugins, name ? name : "", nullptr);
}

int CHubFrame::LoadPlugin(const char *name) {
    if (!name || !IsBareName(name)) return -1;
    HWND hub = fw::MainWindowHandle();
    HMODULE module = ::LoadLibraryA(name);  // a bare name gets ".dll" and the search order
    if (!module) return -1;
    Trace((std::string("Found file: ") + name).c_str());
    // Through void *: FARPROC's own signature says nothing about the export.
    auto entry = reinterpret_cast<VelmarMainProc>(
        reinterpret_cast<void *>(::GetProcAddress(module, NV_ENTRY_POINT_NAME)));
    if (!entry) {
        ::FreeLibrary(module);  // no plug-in; nothing of it has run
        return -1;
    }
    auto info = std::make_unique<PluginInfo>();  // zeroed; freed right after the call
    if (!entry(hub, info.get()) || !info->threadId) {
        // The module stays loaded: a failed entry point may have left a
        // thread or a callback running in it.
        fw::AppMessageBox(std::string("Couldn't load plugin ") + name + ".dll", MB_OK);
        return -1;
    }
    auto *record = new CPluginRecord(name, *info, nullptr, module);
    AddPlugin(record);
    Trace((std::string("Running Plug-In: ") + name).c_str());
    return IndexOfRecord(m_plugins, record);
}

void CHubFrame::AddPlugin(CPluginRecord *record) {
    if (!record) return;
    int self = IndexOfRecord(m_plugins, record);
    int other = IndexOfOtherNamed(m_plugins, record->m_strName, record);
    CPluginRecord *replaced = other >= 0 ? m_plugins[other] : nullptr;
    if (self >= 0) {
        // Registering again (a rename): the record keeps its place, and an
        // entry that already had the new name goes.
        if (replaced) m_plugins.erase(m_plugins.begin() + other);
    } else if (replaced) {
        m_plugins[other] = record;
    } else {
        m_plugins.push_back(record);
    }
    if (!replaced) return;
    // Its users are detached (and it is told so) before it goes, so none of
    // them keeps a peer that is about to be destroyed.
    DetachUsersOf(replaced);
    // Not waited for: its reader may itself be waiting for a handler further
    // up this thread's stack (a registration handled inside another one).
    if (IsPluginLink(replaced))
        EndPluginLink(replaced, false);
    else
        delete replaced;
}

void CHubFrame::RemovePlugin(CPluginRecord *record) {
    int at = IndexOfRecord(m_plugins, record);
    if (at >= 0) m_plugins.erase(m_plugins.begin() + at);  // the remover owns it again
}

LRESULT CHubFrame::OnPluginRegister(WPARAM wParam, LPARAM lParam) {
    auto *record = reinterpret_cast<CPluginRecord *>(wParam);
    if (!record) return 1;
    // From another thread only a record the hub still holds: the sender may
    // have waited while its record was replaced and destroyed.
    if (::InSendMessage() && !IsPluginLink(record) && IndexOfRecord(m_plugins, record) < 0) return 1;
    if (lParam) {
        record->AdoptRegisteredName();
        AddPlugin(record);
    } else {
        RemovePlugin(record);
    }
    return 1;
}

// The hub keeps no general log; these lines mark the loader's steps for a
// debugger and are recorded nowhere.
void CHubFrame::Trace(const char *) {}
