// The packet format every link of the hub speaks, and the framing that cuts
// packets out of a byte stream.
//
// This file is byte-level only (no <windows.h>): the hub, the handheld
// simulator and the fuzz target all frame with the same code, so the rules
// cannot drift apart. Memory comes through PacketAllocator because the hub
// must hand packets across threads and into plug-in DLLs in fixed global
// memory, while tools and native tests use the C heap.
//
// The framer is fed whatever bytes one read returned. The peer chooses the
// length, so a claimed length buys nothing: a packet's buffer starts small
// and grows only as its payload actually arrives, and every byte of it is
// charged to a shared PacketBudget when the link has one. A payload above the
// bound, or one whose memory cannot be had, is never kept: its bytes are read
// and thrown away so the stream stays framed, and what arrived of it is
// reported as noise.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <atomic>
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

// --- Memory accounting.

// Bytes of packets the hub holds at once, over all links: buffers being
// framed and packets being dispatched or queued towards a plug-in.
constexpr size_t kHubPacketBudget = 256u * 1024u * 1024u;

// A shared ceiling on packet memory; any thread.
class PacketBudget {
public:
    explicit PacketBudget(size_t limit) : m_limit(limit) {}
    PacketBudget(const PacketBudget &) = delete;
    PacketBudget &operator=(const PacketBudget &) = delete;
    // False, taking nothing, when n more bytes would cross the limit.
    bool Take(size_t n);
    void Give(size_t n) { m_used.fetch_sub(n); }
    size_t InUse() const { return m_used.load(); }
    size_t Limit() const { return m_limit; }

private:
    const size_t m_limit;
    std::atomic<size_t> m_used{0};
};

// The hub's one budget (kHubPacketBudget).
PacketBudget &HubPacketBudget();

// --- Framing.

// How one kind of link frames.
struct FramingRules {
    bool foreignSignature = true;  // user links: 00 E0 xx is dropped and reported
    bool idByte = false;           // network plug-in link: a connection-id byte after the header
    uint32_t maxPayload = kMaxPacketPayload;
    PacketBudget *budget = nullptr;  // charged for packet buffers; none: unlimited
};

class PacketFramer {
public:
    // What framing reports besides packets. Called from inside Feed/Abort.
    class Events {
    public:
        virtual void OnForeignSignature() = 0;
        // Bytes of a packet that never became one: a payload cut short or
        // dropped (header and what arrived of the payload), or the header of
        // a packet above the bound.
        virtual void OnNoise(const uint8_t *bytes, size_t count) = 0;
        // The budget could not take this link's next bytes; the packet under
        // way is dropped. What the link does about it is the owner's choice.
        virtual void OnOverBudget() {}

    protected:
        ~Events() = default;
    };

    PacketFramer(PacketAllocator &alloc, Events &events, const FramingRules &rules = FramingRules());
    ~PacketFramer();  // frees a packet still being received
    PacketFramer(const PacketFramer &) = delete;
    PacketFramer &operator=(const PacketFramer &) = delete;

    // Takes bytes until a packet completes or an attempt ends without one (a
    // foreign signature, the last byte of a dropped packet). *consumed tells
    // how many were taken; call again with the rest. A finished packet is
    // owned by the caller, together with its budget charge of PacketSize bytes.
    uint8_t *Feed(const uint8_t *data, size_t count, size_t *consumed);
    // The link delivered nothing more (time-out, close): the packet under way
    // is lost (a cut payload is reported as noise); the next byte starts anew.
    void Abort();
    // Drops the packet under way without reporting it (the link is going).
    void Forget();

    // Bytes that would finish the current field (command, length, id byte,
    // payload); at least 1. A reader that must not take bytes beyond one
    // packet asks for no more than this.
    size_t Wanted() const;
    // True between packets: no byte of a packet has been taken yet.
    bool AtPacketStart() const { return m_state == State::Command; }
    // A payload is being kept (not skipped) and has bytes to come.
    bool InPayload() const { return m_state == State::Payload; }

    // Reading a payload straight into its packet saves a copy and, more to
    // the point, lets one read take a large payload's bytes instead of one
    // read per buffer's worth. PayloadSpace makes room in the packet for
    // more payload and returns where the next bytes go and how many fit
    // (*room, never beyond the packet's end); null when no payload is under
    // way or the room cannot be had now (the caller then feeds through its
    // own buffer, which grows the packet by the usual rules). The packet
    // grows as it does when fed, to at most twice the payload that arrived
    // (or the first chunk), so a claimed length still buys nothing; each
    // read can then take as much as has arrived before it. CommitPayload
    // counts `n` bytes written there; it returns the packet once complete.
    uint8_t *PayloadSpace(size_t *room);
    uint8_t *CommitPayload(size_t n);
    // Connection-id byte of the last finished packet (rules.idByte).
    uint8_t ConnectionId() const { return m_connectionId; }
    // Buffer bytes held for the packet under way (tests).
    size_t HeldBytes() const { return m_capacity; }

    // First buffer of a packet with a payload: header plus this much at most.
    static constexpr size_t kFirstPayloadChunk = 4096;

private:
    enum class State { Command, CommandAfterLeadIn, Length, ExtendedLength, IdByte, Payload, Discard };

    size_t TakeHeaderByte(const uint8_t *data, uint8_t **packet);
    uint8_t *HeaderComplete();
    size_t TakePayload(const uint8_t *data, size_t count, uint8_t **packet);
    int Reserve(size_t size);
    void Drop(int why);
    uint8_t *FinishPacket();
    void ReleaseBuffer();
    void Reset();

    PacketAllocator &m_alloc;
    Events &m_events;
    FramingRules m_rules;
    State m_state = State::Command;
    uint8_t m_header[NV_PACKET_LONG_HEADER] = {};
    uint32_t m_headerHave = 0;     // bytes in m_header
    uint32_t m_headerSize = 0;     // 3 or 7 once known
    uint32_t m_payloadLength = 0;
    uint32_t m_payloadHave = 0;    // payload bytes received, or discarded
    uint8_t *m_packet = nullptr;   // owned while the payload arrives
    size_t m_capacity = 0;         // bytes of m_packet, all charged to the budget
    uint8_t m_connectionId = 0;
    bool m_attemptEnded = false;   // Feed: the last byte ended an attempt without a packet
};

// A byte source: returns as soon as at least one byte arrived, with as many
// as are waiting (at most count); 0 on time-out, close or error.
class PacketByteSource {
public:
    virtual int ReadBytes(void *buffer, int count) = 0;

protected:
    ~PacketByteSource() = default;
};

// Frames out of a source through a buffer of its own, so that one read takes
// whatever has arrived, however many packets that holds. One instance per
// link, used by one thread at a time.
class PacketReader {
public:
    static constexpr size_t kDefaultBufferSize = 16 * 1024;

    // The buffer starts at kDefaultBufferSize (or bufferSize, if smaller) and
    // grows to bufferSize once a read fills it; it comes from bufferAlloc (the
    // heap when null), packets from alloc.
    PacketReader(PacketAllocator &alloc, PacketFramer::Events &events, const FramingRules &rules,
                 size_t bufferSize = kDefaultBufferSize, PacketAllocator *bufferAlloc = nullptr);
    ~PacketReader();
    PacketReader(const PacketReader &) = delete;
    PacketReader &operator=(const PacketReader &) = delete;

    // One framing attempt: a packet (the caller owns it and its charge), or
    // null after a read that brought nothing, a foreign signature or a dropped
    // packet. Reads only when the buffer holds nothing more.
    uint8_t *Next(PacketByteSource &source);
    // Bytes read from the link and not framed yet.
    bool HasBufferedInput() const { return m_pos < m_len; }
    // The last read brought all it asked for: more is probably waiting, and
    // reading again at once is cheaper than waiting to be told.
    bool LastReadFilled() const { return m_bLastReadFilled; }
    // Forgets buffered bytes and the packet under way, without noise.
    void Discard();
    uint8_t ConnectionId() const { return m_framer.ConnectionId(); }
    const PacketFramer &Framer() const { return m_framer; }

private:
    // Large payloads are read straight into their packet.
    bool ReadIntoPayload(PacketByteSource &source, uint8_t **packet);
    void GrowIfFilled();

    PacketFramer m_framer;
    PacketAllocator &m_bufferAlloc;
    size_t m_maxBufferSize;
    size_t m_size;      // of m_buffer
    uint8_t *m_buffer;  // owned
    size_t m_pos = 0, m_len = 0;
    bool m_bLastReadFilled = false;
};

// Frees a packet that a framer with this budget produced, and gives its
// charge back. budget may be null (no charge was taken).
void FreeFramedPacket(PacketAllocator &alloc, PacketBudget *budget, uint8_t *packet);

// Reads one framing attempt from a source without reading beyond it (asks
// for at most Wanted() bytes at a time): a packet (caller owns it), or null
// after a read that brought nothing, a foreign signature or a dropped packet.
uint8_t *ReadFramedPacket(PacketByteSource &source, PacketFramer &framer);
