// The packet format every link of the hub speaks, and the framing that cuts
// packets out of a byte stream.
//
// This file is byte-level only (no <windows.h>): the hub, the handheld
// simulator and the fuzz target all frame with the same code, so the rules
// cannot drift apart. Memory comes through PacketAllocator because the hub
// must hand packets across threads and into plug-in DLLs in fixed global
// memory, while tools and native tests use the C heap.
//
// The framer is one state machine with two faces. A blocking transport pulls:
// it asks Wanted(), reads that many bytes straight into Target() and calls
// Commit(); a short read ends the attempt with Abort(). A tool that receives
// bytes in arbitrary chunks pushes them with Feed(). The peer chooses the
// length, so a payload above the bound (or one that cannot be allocated) is
// never allocated: its bytes are read and thrown away in small chunks so the
// stream stays framed, and its header is reported as noise.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <vector>
#include "norvane_plugin.h"

// Largest payload the hub accepts. The extended length is 32 bits from the
// peer; without a bound four bytes would make the hub allocate 4 GiB.
constexpr uint32_t kMaxPacketPayload = 16u * 1024u * 1024u;

// A byte 8 where a command byte is due is skipped once.
constexpr uint8_t kPacketLeadIn = 8;

// Command 0x00 followed by length byte 0xE0: traffic of another protocol.
constexpr uint8_t kForeignCommand = 0x00;
constexpr uint8_t kForeignLengthLow = 0xE0;

// Connection id of a stream that serves no user; on the plug-in link, "no user".
constexpr uint32_t kNoConnectionId = 255;

// --- Packets in memory: one contiguous buffer, header exactly as on the wire.
// These read a complete header; the buffer must hold at least
// PacketHeaderSize() bytes.

inline uint8_t PacketCommand(const uint8_t *packet) { return packet[0]; }
inline uint16_t PacketShortLength(const uint8_t *packet) {
    return static_cast<uint16_t>(packet[1] | (packet[2] << 8));
}
inline bool PacketIsEscaped(const uint8_t *packet) {
    return PacketShortLength(packet) == NV_PACKET_LENGTH_ESCAPE;
}
inline uint32_t PacketHeaderSize(const uint8_t *packet) {
    return PacketIsEscaped(packet) ? NV_PACKET_LONG_HEADER : NV_PACKET_SHORT_HEADER;
}
uint32_t PacketPayloadLength(const uint8_t *packet);
// Header plus payload: the number of bytes the packet occupies on the wire.
size_t PacketSize(const uint8_t *packet);
inline const uint8_t *PacketPayload(const uint8_t *packet) { return packet + PacketHeaderSize(packet); }

// Header of a packet held in a buffer that may be incomplete. False when
// fewer than the header's bytes are available.
struct PacketHeader {
    uint8_t command;
    uint32_t payloadLength;
    uint32_t headerSize;  // 3, or 7 in the escaped form
};
bool ParsePacketHeader(const uint8_t *bytes, size_t available, PacketHeader *header);

// Writes the header for a payload of the given length: the short form below
// 65535 bytes, the escaped form from there on. Returns its size (3 or 7).
uint32_t EncodePacketHeader(uint8_t command, uint32_t payloadLength,
                            uint8_t out[NV_PACKET_LONG_HEADER]);

// Whole packet as bytes, for tools and tests.
std::vector<uint8_t> EncodePacket(uint8_t command, const void *payload, size_t length);

// --- Memory for packets.

class PacketAllocator {
public:
    // Null when the memory is not available.
    virtual uint8_t *Allocate(size_t size) = 0;
    virtual void Free(uint8_t *packet) = 0;

protected:
    ~PacketAllocator() = default;
};

// malloc/free; for tools and portable tests.
PacketAllocator &HeapPacketAllocator();

// A packet built in memory from the allocator; null when it cannot allocate
// or the payload is above kMaxPacketPayload.
uint8_t *BuildPacket(PacketAllocator &alloc, uint8_t command, const void *payload, size_t length);

// --- Framing.

// How one kind of link frames.
struct FramingRules {
    bool foreignSignature = true;  // user links: 00 E0 xx is dropped and reported
    bool idByte = false;           // network plug-in link: a connection-id byte after the header
    uint32_t maxPayload = kMaxPacketPayload;
};

class PacketFramer {
public:
    // What framing reports besides packets. Called from inside Commit/Feed/Abort.
    class Events {
    public:
        virtual void OnForeignSignature() = 0;
        // Bytes of a packet that never became one: a payload cut short (header
        // and what arrived of the payload), or the header of a packet that was
        // too large to allocate.
        virtual void OnNoise(const uint8_t *bytes, size_t count) = 0;

    protected:
        ~Events() = default;
    };

    PacketFramer(PacketAllocator &alloc, Events &events, const FramingRules &rules = FramingRules());
    ~PacketFramer();  // frees a packet still being received
    PacketFramer(const PacketFramer &) = delete;
    PacketFramer &operator=(const PacketFramer &) = delete;

    // Pull: how many bytes the framer needs next (at least 1), and where they go.
    size_t Wanted() const;
    uint8_t *Target();
    // n bytes (at most Wanted()) were placed at Target(). Returns a finished
    // packet, owned by the caller (free it with the allocator), or null.
    uint8_t *Commit(size_t n);
    // The transport delivered fewer bytes than asked: the packet under way is
    // lost (a cut payload is reported as noise); the next byte starts a new one.
    void Abort();

    // Push: takes bytes until a packet completes. *consumed tells how many
    // were taken; call again with the rest.
    uint8_t *Feed(const uint8_t *data, size_t count, size_t *consumed);

    // True between packets: no byte of a packet has been taken yet.
    bool AtPacketStart() const { return m_state == State::Command; }
    // Connection-id byte of the last finished packet (rules.idByte).
    uint8_t ConnectionId() const { return m_connectionId; }

private:
    enum class State { Command, CommandAfterLeadIn, Length, ExtendedLength, IdByte, Payload, Discard };
    static constexpr size_t kDiscardChunk = 4096;

    uint8_t *LengthComplete();
    uint8_t *HeaderComplete();
    uint8_t *FinishPacket();
    void Reset();

    PacketAllocator &m_alloc;
    Events &m_events;
    FramingRules m_rules;
    State m_state = State::Command;
    uint8_t m_header[NV_PACKET_LONG_HEADER + 1] = {};
    uint32_t m_headerHave = 0;     // bytes in m_header
    uint32_t m_headerSize = 0;     // 3 or 7 once known
    uint32_t m_payloadLength = 0;
    uint32_t m_payloadHave = 0;    // payload bytes received, or discarded
    uint8_t *m_packet = nullptr;   // owned while the payload arrives
    uint8_t m_connectionId = 0;
    uint8_t m_scratch[kDiscardChunk];  // lands the bytes of a dropped packet
};

// A blocking byte source: returns how many of count bytes arrived (fewer on
// time-out, close or error).
class PacketByteSource {
public:
    virtual int ReadBytes(void *buffer, int count) = 0;

protected:
    ~PacketByteSource() = default;
};

// Reads one framing attempt from a blocking source: a packet (caller owns it),
// or null after a short read, a foreign signature or a dropped packet. The
// bytes consumed by a failed attempt are gone; the next call starts afresh.
uint8_t *ReadFramedPacket(PacketByteSource &source, PacketFramer &framer);
