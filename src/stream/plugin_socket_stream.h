// CPluginSocketStream: the hub's side of a network plug-in, a program on the
// plug-in port that serves any number of users over one TCP connection.
//
// It is a CSocketStream (socket, reader thread, write deadline, address) with
// a multiplexed link on top: every packet carries one connection-id byte
// after its header, naming the user it comes from or goes to (0 from the
// plug-in: every user; 255: nobody). The stream keeps the table of users
// attached to the plug-in, tells the plug-in when they come and go, routes
// the plug-in's packets to them and passes the plug-in's name to its record.
//
// Ownership: the plug-in's record owns this stream from accept on, and the
// hub window owns the record. The stream never destroys anything itself.
// When the plug-in goes, the reader thread unattaches the users, takes the
// record out of the catalogue and hands the record to the hub window to be
// destroyed; every one of those hand-overs counts the reader as away from the
// stream, so the hub may destroy the stream meanwhile without waiting on it,
// and the reader touches nothing once that has happened.
//
// The user table is changed on the hub window's thread (AddUser, RemoveUser)
// and read on the reader thread (routing, plug-in lost); its lock is held
// across every write into a user stream, so once RemoveUser has returned no
// write into that user's stream is in progress and the user may go. The hub
// window's thread never waits long behind such a write: after the hub's grace
// it interrupts the write into the user that does not read, as it does for
// its own writes into the plug-in.
#pragma once
#include <functional>
#include <map>
#include <string>
#include "stream/socket_stream.h"

class CPluginRecord;  // only its address travels; streams do not look inside

class CPluginSocketStream : public CSocketStream {
public:
    // Gives the record the name the plug-in announced, on the reader thread
    // right before the record is handed to the hub window to be registered.
    using NameSink = std::function<void(const std::string &name)>;

    // Accepts the connection pending on `listener`; reading starts at Open.
    CPluginSocketStream(fw::AsyncSocket *listener, CPluginRecord *record, BOOL logging, NameSink nameSink);
    ~CPluginSocketStream() override;

    // Hub window's thread. The user stream is not owned; whoever detaches
    // the user clears its peer first, then calls RemoveUser.
    void AddUser(UserInfo *pUserInfo, CStream *pUserStream) override;
    void RemoveUser(UserInfo *pUserInfo) override;
    uint8_t *ReadPacket(uint32_t *connectionId) override;
    int WritePacket(const uint8_t *packet, uint32_t connectionId) override;
    void ForwardPacket(const uint8_t *packet, uint32_t connectionId) override;

    CPluginRecord *GetRecord() const { return m_pRecord; }
    size_t UserCount() const;

    // The link's user-name length is 16 bits and 0xFFFF is taken by the
    // long form, so longer names are announced cut to this many bytes.
    static constexpr size_t kMaxAnnouncedName = 0xFFFE;

private:
    // Control packets go out without a log entry but still whole.
    void WriteControl(const uint8_t *bytes, size_t size);
    // Takes m_csUsers; on the hub window's thread without waiting long
    // behind a write into a user stream (see the top of this file).
    void EnterUsers();
    // Reader thread. False when the hub window destroyed the stream meanwhile.
    bool Register(const std::string &name);
    void PluginLost();
    void Route(const uint8_t *packet, uint8_t id);

    mutable fw::CriticalSection m_csUsers;
    std::map<uint32_t, CStream *> m_mapUsers;  // under m_csUsers; user streams not owned
    bool m_bLost = false;                      // under m_csUsers; set by the reader, never cleared
    // The user stream the reader is writing into; set and cleared by the
    // reader under m_csUsers, read by the hub window's thread while it waits
    // for that lock (the stream cannot go meanwhile: removal needs the lock).
    std::atomic<CStream *> m_pRouteTarget{nullptr};
    CPluginRecord *const m_pRecord;            // fixed; owns this stream; never dereferenced here
    const NameSink m_nameSink;                 // fixed
};
