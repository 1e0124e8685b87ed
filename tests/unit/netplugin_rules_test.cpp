// The network plug-in simulator's byte-level rules: the link format it
// writes, lines aimed at users, and the answering rules of its scripts.
#include <gtest/gtest.h>

#include <string>
#include "rules.h"

using namespace netplugin;

TEST(NetPluginLink, IdByteGoesBetweenHeaderAndPayloadInBothForms) {
    EXPECT_EQ(ToLink({0x20, 1, 0, 'A'}, 100), Bytes({0x20, 1, 0, 100, 'A'}));
    EXPECT_EQ(ToLink({5, 0, 0}, 7), Bytes({5, 0, 0, 7}));
    Bytes big = EncodePacket(0x21, std::string(70000, 'x').data(), 70000);
    Bytes wire = ToLink(big, 0);
    ASSERT_EQ(wire.size(), big.size() + 1);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), Bytes({0x21, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00, 0}));
    // Not one whole packet: nothing to send.
    EXPECT_TRUE(ToLink({0x20, 2, 0, 'A'}, 1).empty());
    EXPECT_TRUE(ToLink({0x20, 1, 0, 'A', 'B'}, 1).empty());
}

TEST(NetPluginLines, TargetDefaultsToEveryUser) {
    TargetedLine line = ParseTargetedLine("@101 20 'Hi'");
    EXPECT_TRUE(line.error.empty());
    EXPECT_EQ(line.id, 101);
    EXPECT_EQ(line.action.bytes, Bytes({0x20, 2, 0, 'H', 'i'}));
    EXPECT_EQ(ParseTargetedLine("@all echo").id, kAllUsers);
    EXPECT_EQ(ParseTargetedLine("  21 01").id, kAllUsers);
    EXPECT_EQ(ParseTargetedLine("sleep 5").action.kind, handheld::Action::kSleep);
    EXPECT_FALSE(ParseTargetedLine("@256 20").error.empty());
    EXPECT_FALSE(ParseTargetedLine("@x 20").error.empty());
    EXPECT_FALSE(ParseTargetedLine("raw 20 05").error.empty());  // not a whole packet
    EXPECT_FALSE(ParseTargetedLine("connect Demo").error.empty());
}

TEST(NetPluginRules, TriggersAndTargets) {
    Rule rule;
    std::string error;
    ASSERT_TRUE(ParseRule("on 21 all 22 \"to everyone\"", &rule, &error)) << error;
    EXPECT_EQ(rule.trigger, Rule::kCommand);
    EXPECT_TRUE(rule.toAll);
    EXPECT_TRUE(rule.Matches(0x21));
    EXPECT_FALSE(rule.Matches(0x22));
    EXPECT_EQ(rule.packet, EncodePacket(0x22, "to everyone", 11));

    ASSERT_TRUE(ParseRule("on echo 05", &rule, &error)) << error;
    EXPECT_TRUE(rule.Matches(NV_CMD_ECHO));
    EXPECT_FALSE(rule.toAll);
    ASSERT_TRUE(ParseRule("on any 30", &rule, &error)) << error;
    EXPECT_TRUE(rule.Matches(0x40));
    EXPECT_FALSE(rule.Matches(NV_CMD_USER_ADDED));
    ASSERT_TRUE(ParseRule("on added 23 'welcome'", &rule, &error)) << error;
    EXPECT_TRUE(rule.Matches(NV_CMD_USER_ADDED));
    EXPECT_FALSE(rule.Matches(NV_CMD_USER_REMOVED));

    ASSERT_TRUE(ParseRule("  # a comment", &rule, &error));
    EXPECT_EQ(rule.trigger, Rule::kNone);
    ASSERT_TRUE(ParseRule("", &rule, &error));
    EXPECT_EQ(rule.trigger, Rule::kNone);
    EXPECT_FALSE(ParseRule("when 21 22", &rule, &error));
    EXPECT_FALSE(ParseRule("on banana 22", &rule, &error));
    EXPECT_FALSE(ParseRule("on 21 all", &rule, &error));
    EXPECT_FALSE(ParseRule("on 21 raw 22 01", &rule, &error));
}
