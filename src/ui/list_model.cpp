// The connection list model. Every lookup is a linear scan: the list holds a
// node per opened COM port and per known handheld, a few dozen at most, and
// a second index would only be one more thing to keep consistent.
#include "ui/list_model.h"
#include <string.h>

const char *const kStateText[5] = {"Searching", "Connected", "Disconnected", "Denied", "Error"};

const char *StateText(int32_t state) {
    return state >= 0 && state < 5 ? kStateText[state] : "";
}

namespace {
// RUIDs compare as zero-terminated strings: bytes after a zero never count.
bool SameRUID(const std::string &stored, const char *ruid) {
    return strcmp(stored.c_str(), ruid ? ruid : "") == 0;
}
}  // namespace

void ListModel::Report(const char *text) {
    if (m_sink) m_sink(text);
}

int32_t ListModel::NewUID() {
    // Only a wrapped counter can meet a UID still in use; skip those so that
    // two present nodes never share a UID.
    for (;;) {
        if (++m_nextUID == 0) m_nextUID = 1;
        int32_t uid = static_cast<int32_t>(m_nextUID);
        bool used = false;
        for (const ListNode &node : m_nodes) used = used || node.uid == uid;
        if (!used) return uid;
    }
}

int32_t ListModel::Append(ListNode node) {
    node.uid = NewUID();
    m_nodes.push_back(std::move(node));
    return m_nodes.back().uid;
}

int32_t ListModel::addItem(CUserConnection *user) {
    ListNode node;
    node.user = user;
    return Append(std::move(node));
}

int32_t ListModel::addItemByRUID(const char *ruid) {
    ListNode node;
    node.ruid = ruid ? ruid : "";
    return Append(std::move(node));
}

int ListModel::getTemporaryModelIndex(int32_t uid) {
    for (size_t i = 0; i < m_nodes.size(); ++i)
        if (m_nodes[i].uid == uid) return static_cast<int>(i);
    Report("ListModel::getTemporaryModelIndex did not find requested node UID.");
    return -1;
}

ListNode *ListModel::ElementAt(int position) {
    if (position < 0 || position >= GetCount()) {
        Report("ListModel::ElementAt passed with an invalid temporary index.");
        return nullptr;
    }
    return &m_nodes[static_cast<size_t>(position)];
}

ListNode *ListModel::getNode(int32_t uid) {
    if (uid == 0) {
        Report("ListModel::getNode was passed in 0.");
        return nullptr;
    }
    int position = getTemporaryModelIndex(uid);
    if (position < 0) return nullptr;  // its message is the only one shown
    return ElementAt(position);
}

bool ListModel::removeItem(int32_t uid) {
    if (uid == 0) {
        Report("ListModel::removeItem passed with an invalid model index.");
        return false;
    }
    int position = getTemporaryModelIndex(uid);
    if (position < 0) return false;
    m_nodes.erase(m_nodes.begin() + position);
    return true;
}

int32_t ListModel::findNodeIDfromUser(const CUserConnection *user) {
    if (!user) {
        Report("ListModel::findNodeIDfromUser was passed in a NULL user ptr");
        return 0;
    }
    for (const ListNode &node : m_nodes)
        if (node.user == user) return node.uid;
    return 0;
}

int32_t ListModel::findIndexByRUID(const char *ruid) {
    for (const ListNode &node : m_nodes) {
        if (!SameRUID(node.ruid, ruid)) continue;
        if (node.IsSerial()) {
            Report("ListModel::findIndexByRUID found RUID, but the connection type is Serial, logical assert failure");
            return 0;
        }
        return node.uid;
    }
    return 0;
}

int32_t ListModel::findNodeIDfromPort(int32_t port) const {
    if (port <= 0) return 0;
    for (const ListNode &node : m_nodes)
        if (node.comPort == port) return node.uid;
    return 0;
}
