// The connection list behind the main dialog: one node per serial port and per
// known network handheld, addressed by a UID that never changes while the
// node exists.
//
// Positions shift whenever an earlier node goes, so callers keep UIDs and only
// the model turns them into positions. A node outlives the connection it
// shows (a handheld that left stays listed and is recognised by its RUID when
// it comes back), so a node never owns its user connection.
//
// The model is byte-level code with no <windows.h>: a consistency failure is
// reported through a settable message sink (the hub window installs one that
// shows the operator a message box; tests record the texts) and the operation
// then returns its neutral result. Used only on the hub window's thread.
#pragma once
#include <stdint.h>
#include <functional>
#include <string>
#include <vector>

class CUserConnection;

enum NodeState : int32_t {
    kNodeNoState = -1,  // created, never assigned a state
    kNodeSearching = 0,
    kNodeConnected = 1,
    kNodeDisconnected = 2,
    kNodeDenied = 3,  // display text only: nothing assigns it
    kNodeError = 4,   // display text only: nothing assigns it
};

// Display texts, indexed by the state value.
extern const char *const kStateText[5];
// The text of a state, or "" for a value outside the table (-1 included).
const char *StateText(int32_t state);

struct ListNode {
    std::string userName;        // "User Name" column
    std::string connectionText;  // "Connection" column
    int32_t state = kNodeNoState;
    int32_t comPort = 0;         // 1 or more: a serial node; otherwise a network node
    std::string ruid;            // network node: up to the first zero byte of the request's RUID
    CUserConnection *user = nullptr;  // not owned; the live connection this node shows
    int32_t uid = 0;             // never 0

    bool IsSerial() const { return comPort >= 1; }
};

class ListModel {
public:
    using MessageSink = std::function<void(const char *text)>;

    ListModel() = default;
    ListModel(const ListModel &) = delete;
    ListModel &operator=(const ListModel &) = delete;

    // Where consistency failures go; none drops them. The sink may run a modal
    // loop, so the model holds no position or reference across a call to it.
    void SetMessageSink(MessageSink sink) { m_sink = std::move(sink); }

    int32_t addItem(CUserConnection *user);
    int32_t addItemByRUID(const char *ruid);
    // Valid until the next addition or removal; null when there is no such node.
    ListNode *getNode(int32_t uid);
    bool removeItem(int32_t uid);
    int32_t findNodeIDfromUser(const CUserConnection *user);
    int32_t findIndexByRUID(const char *ruid);
    int32_t findNodeIDfromPort(int32_t port) const;
    int getTemporaryModelIndex(int32_t uid);
    ListNode *ElementAt(int position);

    int GetCount() const { return static_cast<int>(m_nodes.size()); }

protected:
    // The counter behind new UIDs: the last one handed out.
    uint32_t m_nextUID = 0;

private:
    int32_t NewUID();
    int32_t Append(ListNode node);
    void Report(const char *text);

    std::vector<ListNode> m_nodes;  // in order of addition
    MessageSink m_sink;
};
