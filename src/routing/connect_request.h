// The connect request a handheld sends first: its RUID, the plug-in it wants,
// its user name and an optional flags byte.
//
// Every byte comes from the handheld, so parsing reads nothing beyond the
// payload: a name ends at its zero byte or at the payload's end, and a payload
// too short for the RUID is refused rather than padded. Byte-level only (no
// <windows.h>) so it runs under the sanitizers and the fuzzer.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

constexpr size_t kRuidSize = 16;

// Flags bit 0: keep hardware (CTS) output flow control on.
constexpr uint8_t kConnectFlagCts = 0x01;
// Flags bit 1: passed to the plug-in as UserInfo.flags.
constexpr uint8_t kConnectFlagUser = 0x02;
// What an absent flags byte counts as.
constexpr uint8_t kConnectFlagsDefault = kConnectFlagCts;

struct ConnectRequest {
    std::string ruid;        // the RUID field up to its first zero byte
    std::string pluginName;
    std::string userName;
    bool hasFlags = false;
    uint8_t flags = kConnectFlagsDefault;

    bool KeepsCtsFlowControl() const { return (flags & kConnectFlagCts) != 0; }
    uint8_t UserFlag() const { return (flags & kConnectFlagUser) ? 1 : 0; }
};

// False when the payload is shorter than the RUID; *out is then untouched.
bool ParseConnectPayload(const uint8_t *payload, size_t length, ConnectRequest *out);

// A whole packet of `size` bytes in either header form; the payload is taken
// from behind the real header with its real length. False when the header or
// the payload it announces does not fit in `size`, or the payload is too short.
bool ParseConnectPacket(const uint8_t *packet, size_t size, ConnectRequest *out);

// The payload as a handheld builds it: RUID padded with zeros to 16 bytes
// (cut at 16), both names zero-terminated, and the flags byte when asked for.
std::vector<uint8_t> EncodeConnectPayload(const std::string &ruid, const std::string &pluginName,
                                          const std::string &userName, int flags = -1);
