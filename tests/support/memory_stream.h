// A stream whose link is two byte queues, for testing the stream base and
// anything built on streams without a serial port or a socket.
//
// Input arrives in chunks; a chunk is what the link delivers before a
// time-out: a read returns what is left of the chunk (at most what it asks
// for), and the read after the chunk's last byte is the time-out (0), the way
// a serial or socket read behaves. Writes can be made slow (a few bytes at a
// time with a yield between) so that missing serialisation shows up as
// interleaved output.
#pragma once
#include <stdint.h>
#include <deque>
#include <string>
#include <vector>
#include "framework/sync.h"
#include "stream/stream.h"

using Bytes = std::vector<uint8_t>;

class CMemoryStream : public CStream {
public:
    explicit CMemoryStream(UserInfo *pUserInfo = nullptr, bool logging = false,
                           const std::string &logName = "Stream.txt");

    // Bytes that arrive, followed by a time-out.
    void Arrive(const Bytes &chunk);
    // True until a read has met the time-out behind the last chunk.
    bool InputPending() const;
    // Dispatches until the input is used up, as a reader thread would.
    void DispatchAll();
    // Everything written so far, and the connection ids WritePacket was given.
    Bytes Written() const;
    std::vector<uint32_t> WrittenIds() const;
    void SetSlowWrites(bool slow) { m_bSlowWrites = slow; }
    int CtsOnCount() const { return m_nCtsOn; }

    int ReadBytes(void *buffer, int count) override;
    int WriteBytes(const void *buffer, int count) override;
    void SetReadTimeout(DWORD) override {}
    void SetWriteTimeout(DWORD) override {}
    void SetBaudRate(DWORD) override {}
    void SetCtsFlowControl(BOOL on) override {
        if (on) ++m_nCtsOn;
    }
    void AddUser(UserInfo *, CStream *) override {}
    void RemoveUser(UserInfo *) override {}
    int WritePacket(const uint8_t *packet, uint32_t connectionId) override;

private:
    mutable fw::CriticalSection m_cs;  // guards the queues; any thread
    std::deque<Bytes> m_input;
    size_t m_inputPos = 0;
    Bytes m_output;
    std::vector<uint32_t> m_ids;
    bool m_bSlowWrites = false;
    int m_nCtsOn = 0;  // reader thread only
};
