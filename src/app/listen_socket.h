// Listening socket for handhelds (4343) or network plug-ins (4242).
// Placeholder until network connections land; the hub window owns two.
#pragma once

class CListenSocket {
public:
    virtual ~CListenSocket() = default;
};
