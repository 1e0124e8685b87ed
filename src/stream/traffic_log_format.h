// Text of the traffic logs: header lines and entries, as bytes ready to write.
//
// Formatting is kept apart from the file so that it builds natively and can
// be fuzzed and compared byte for byte with expected files. Lines end with
// CR LF here rather than through a text-mode file, so the output is the same
// on every platform.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <functional>
#include <string>

enum class LogDirection {
    Read,     // the stream read the packet: "USER"
    Written,  // the stream wrote the packet: "PLUGIN"
};

// The two header lines, each ending in CR LF.
const std::string &TrafficLogHeader();

// One entry for a packet held in `size` bytes (its whole buffer). The dump
// shows as many payload bytes as the 16-bit length field says, never beyond
// the buffer; for an escaped packet that is the extended length and then
// the start of the payload.
void AppendPacketEntry(std::string &out, const uint8_t *packet, size_t size, LogDirection direction);

// One NOISE entry with all `count` bytes.
void AppendNoiseEntry(std::string &out, const uint8_t *bytes, size_t count);

// Hex and character columns, 8 bytes a line, continuation lines indented to
// the data column; ends the line. No bytes: just the line end.
void AppendDump(std::string &out, const uint8_t *bytes, size_t count);

// The same entries, handed to `sink` in pieces of at most kLogPieceBytes
// dumped bytes each, so that a large packet never needs its whole entry in
// memory at once. Concatenated, the pieces are exactly the entry above.
constexpr size_t kLogPieceBytes = 4096;  // a multiple of 8: pieces end with a line
using LogSink = std::function<void(const std::string &piece)>;
void WritePacketEntry(const LogSink &sink, const uint8_t *packet, size_t size, LogDirection direction);
void WriteNoiseEntry(const LogSink &sink, const uint8_t *bytes, size_t count);
