// Connect-request parsing: what a handheld may leave out, what it may put in
// that must be ignored, and payloads that must not be read past.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "routing/connect_request.h"
#include "stream/packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ruid(const char *text) {
    Bytes out(kRuidSize, 0);
    for (size_t i = 0; text[i] && i < kRuidSize; ++i) out[i] = static_cast<uint8_t>(text[i]);
    return out;
}

Bytes Cat(Bytes a, const std::string &tail) {
    a.insert(a.end(), tail.begin(), tail.end());
    return a;
}

// Parses exactly `payload`, copied into a buffer of its own size so that the
// sanitizers see any read beyond it.
bool Parse(const Bytes &payload, ConnectRequest *out) {
    std::vector<uint8_t> exact(payload);
    return ParseConnectPayload(exact.empty() ? nullptr : exact.data(), exact.size(), out);
}

TEST(ConnectRequest, FullRequest) {
    ConnectRequest r;
    ASSERT_TRUE(Parse(EncodeConnectPayload("RUID-0123456789A", "Echo", "Ann", 2), &r));
    EXPECT_EQ(r.ruid, "RUID-0123456789A");
    EXPECT_EQ(r.pluginName, "Echo");
    EXPECT_EQ(r.userName, "Ann");
    EXPECT_TRUE(r.hasFlags);
    EXPECT_EQ(r.flags, 2);
    EXPECT_FALSE(r.KeepsCtsFlowControl());
    EXPECT_EQ(r.UserFlag(), 1);
}

TEST(ConnectRequest, FlagsCases) {
    struct Case { int flags; bool cts; uint8_t user; } cases[] = {
        {-1, true, 0}, {0, false, 0}, {1, true, 0}, {2, false, 1}, {3, true, 1}, {0xFC, false, 0}};
    for (const Case &c : cases) {
        ConnectRequest r;
        ASSERT_TRUE(Parse(EncodeConnectPayload("r", "p", "u", c.flags), &r));
        EXPECT_EQ(r.hasFlags, c.flags >= 0) << c.flags;
        EXPECT_EQ(r.KeepsCtsFlowControl(), c.cts) << c.flags;
        EXPECT_EQ(r.UserFlag(), c.user) << c.flags;
    }
}

TEST(ConnectRequest, BytesBehindTheFlagsAreIgnored) {
    Bytes p = EncodeConnectPayload("r", "p", "u", 0);
    p.push_back(0x03);
    p.push_back(0xFF);
    ConnectRequest r;
    ASSERT_TRUE(Parse(p, &r));
    EXPECT_EQ(r.flags, 0);
}

TEST(ConnectRequest, NamesWithoutTerminatorsRunToTheEnd) {
    ConnectRequest r;
    // The user name lacks its zero: no flags byte.
    ASSERT_TRUE(Parse(Cat(Ruid("r"), std::string("Echo\0Bob", 8)), &r));
    EXPECT_EQ(r.pluginName, "Echo");
    EXPECT_EQ(r.userName, "Bob");
    EXPECT_FALSE(r.hasFlags);
    EXPECT_TRUE(r.KeepsCtsFlowControl());
    // The plug-in name lacks its zero: no user name either.
    ASSERT_TRUE(Parse(Cat(Ruid("r"), "Echo"), &r));
    EXPECT_EQ(r.pluginName, "Echo");
    EXPECT_EQ(r.userName, "");
    EXPECT_FALSE(r.hasFlags);
}

TEST(ConnectRequest, BareRuidAndEmptyNames) {
    ConnectRequest r;
    ASSERT_TRUE(Parse(Ruid("only"), &r));
    EXPECT_EQ(r.ruid, "only");
    EXPECT_EQ(r.pluginName, "");
    EXPECT_EQ(r.userName, "");
    EXPECT_FALSE(r.hasFlags);
    ASSERT_TRUE(Parse(EncodeConnectPayload("r", "", "", 0), &r));
    EXPECT_EQ(r.pluginName, "");
    EXPECT_EQ(r.userName, "");
    EXPECT_TRUE(r.hasFlags);
}

TEST(ConnectRequest, RuidEndsAtItsZeroOrAfterSixteenBytes) {
    ConnectRequest r;
    Bytes p = Ruid("AB");
    p[5] = 'Z';  // behind the zero: not part of the RUID
    ASSERT_TRUE(Parse(Cat(p, std::string("E\0U\0", 4)), &r));
    EXPECT_EQ(r.ruid, "AB");
    // A RUID with no zero in its 16 bytes takes all of them, and no more.
    ASSERT_TRUE(Parse(Cat(Bytes(16, 'x'), std::string("Echo\0", 5)), &r));
    EXPECT_EQ(r.ruid, std::string(16, 'x'));
    EXPECT_EQ(r.pluginName, "Echo");
    ASSERT_TRUE(Parse(Cat(Ruid(""), std::string("E\0", 2)), &r));
    EXPECT_EQ(r.ruid, "");
}

TEST(ConnectRequest, ShortPayloadIsRefused) {
    ConnectRequest r;
    r.pluginName = "untouched";
    for (size_t n = 0; n < kRuidSize; ++n) EXPECT_FALSE(Parse(Bytes(n, 'a'), &r)) << n;
    EXPECT_EQ(r.pluginName, "untouched");
    EXPECT_TRUE(Parse(Bytes(kRuidSize, 'a'), &r));
}

TEST(ConnectRequest, PacketForms) {
    Bytes payload = EncodeConnectPayload("r", "Echo", "Ann", 3);
    ConnectRequest r;
    Bytes shortForm = EncodePacket(2, payload.data(), payload.size());
    ASSERT_TRUE(ParseConnectPacket(shortForm.data(), shortForm.size(), &r));
    EXPECT_EQ(r.pluginName, "Echo");
    EXPECT_EQ(r.flags, 3);

    // The escaped form: payload behind the 7-byte header, length from the
    // 32-bit field. Read as a 3-byte header it would give a garbage RUID.
    Bytes escaped = {2, 0xFF, 0xFF, 0, 0, 0, 0};
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) escaped[3 + i] = static_cast<uint8_t>(n >> (8 * i));
    escaped.insert(escaped.end(), payload.begin(), payload.end());
    r = ConnectRequest();
    ASSERT_TRUE(ParseConnectPacket(escaped.data(), escaped.size(), &r));
    EXPECT_EQ(r.ruid, "r");
    EXPECT_EQ(r.userName, "Ann");
    EXPECT_EQ(r.flags, 3);
}

TEST(ConnectRequest, PacketThatDoesNotHoldItsPayload) {
    Bytes payload = EncodeConnectPayload("r", "Echo", "Ann");
    Bytes packet = EncodePacket(2, payload.data(), payload.size());
    ConnectRequest r;
    for (size_t n = 0; n < packet.size(); ++n) {
        Bytes cut(packet.begin(), packet.begin() + static_cast<long>(n));
        EXPECT_FALSE(ParseConnectPacket(cut.empty() ? nullptr : cut.data(), cut.size(), &r)) << n;
    }
    // An escaped header that announces 4 GiB.
    Bytes huge = {2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3};
    EXPECT_FALSE(ParseConnectPacket(huge.data(), huge.size(), &r));
    // A short-form packet with a payload under 16 bytes.
    Bytes tiny = {2, 3, 0, 'a', 'b', 'c'};
    EXPECT_FALSE(ParseConnectPacket(tiny.data(), tiny.size(), &r));
}

}  // namespace
