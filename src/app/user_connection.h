// One handheld user, serial or network: its stream and its public UserInfo.
//
// The UserInfo's address is how streams and plug-ins name the user, so the
// record stays at one address from creation to destruction, and a little
// beyond it for plug-ins that are behind. Owned by the hub
// window's m_connections and touched only on the hub window's thread.
#pragma once
#include "norvane_plugin.h"
#include <cstddef>

class CStream;

// Connection ids: a serial user's is its COM port number (1..99); network
// users have ids from 100 up to 254, since the network plug-in link carries
// the id in one byte where 0 means every user and 255 none.
constexpr int kFirstNetworkId = 100;
constexpr int kLastNetworkId = 254;

class CUserConnection {
public:
    CUserConnection(CStream *stream, int userInfoId, int id, int pluginIndex);
    virtual ~CUserConnection();
    CUserConnection(const CUserConnection &) = delete;
    CUserConnection &operator=(const CUserConnection &) = delete;

    // Replaces userInfo.userName with a copy of the first length bytes of text.
    void SetUserName(const char *text, size_t length);

    CStream *stream;    // owned; none only until the creator sets it
    int id;             // key in m_connections
    int pluginIndex;    // attached plug-in's catalogue index, -1 for none
    // Its address names the user to streams and plug-ins. Allocated apart from
    // the connection: when the connection goes, it and every name it pointed
    // to stay readable for a while (see quarantine.h). userName is new[]-allocated.
    UserInfo &userInfo;
    // Unique over the run: tells this connection from a later one that got the
    // same id and address, for code that looks it up again after a modal loop.
    const unsigned serial;
};
