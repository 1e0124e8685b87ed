// Command-line rules: order, option letters, port tokens, second-instance text.
#include <gtest/gtest.h>
#include "app/command_line.h"

using nv::CommandAction;

namespace {
std::vector<int> Ports(const std::vector<CommandAction> &actions) {
    std::vector<int> ports;
    for (const auto &a : actions)
        if (a.kind == CommandAction::kOpenPort) ports.push_back(a.port);
    return ports;
}
}  // namespace

TEST(CommandLine, SplitsAtSingleSpacesOnlyAndSkipsEmptyPieces) {
    EXPECT_EQ(nv::SplitCommandLine("  2   -l\t3 "), (std::vector<std::string>{"2", "-l\t3"}));
    EXPECT_TRUE(nv::SplitCommandLine("").empty());
    EXPECT_TRUE(nv::SplitCommandLine("   ").empty());
}

TEST(CommandLine, OptionsAndPortsKeepTheirOrder) {
    auto actions = nv::ParseCommandLine("2 -l 3 -p");
    ASSERT_EQ(actions.size(), 4u);
    EXPECT_EQ(actions[0].kind, CommandAction::kOpenPort);
    EXPECT_EQ(actions[0].port, 2);
    EXPECT_EQ(actions[1].kind, CommandAction::kLogTraffic);  // only COM3 comes after it
    EXPECT_EQ(actions[2].kind, CommandAction::kOpenPort);
    EXPECT_EQ(actions[2].port, 3);
    EXPECT_EQ(actions[3].kind, CommandAction::kWatchPowerPoint);
}

TEST(CommandLine, InstallOptionConsumesTheNextTokenOnly) {
    auto first = nv::ParseCommandLine("-i 3");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].kind, CommandAction::kInstallArg);
    EXPECT_EQ(first[0].text, "3");
    EXPECT_TRUE(Ports(first).empty());

    auto second = nv::ParseCommandLine("3 -i");
    EXPECT_EQ(Ports(second), std::vector<int>{3});
    EXPECT_EQ(second.size(), 1u);  // -i without an argument stores nothing
}

TEST(CommandLine, OnlyTheSecondCharacterOfAnOptionCounts) {
    auto actions = nv::ParseCommandLine("-lots -p7 -r -x - -R");
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[0].kind, CommandAction::kLogTraffic);
    EXPECT_EQ(actions[1].kind, CommandAction::kWatchPowerPoint);
    EXPECT_EQ(actions[2].kind, CommandAction::kWatchPowerPoint);  // -r to a first hub only watches
}

TEST(CommandLine, PortTokensReadAsAtoiAfterTheFirstAtSign) {
    EXPECT_EQ(Ports(nv::ParseCommandLine("x@5 @5 5@ abc 7x 1@2@3")), (std::vector<int>{5, 5, 0, 0, 7, 2}));
}

TEST(CommandLine, OnlyPorts1To99CanBecomeConnections) {
    EXPECT_FALSE(nv::IsValidComPort(0));
    EXPECT_TRUE(nv::IsValidComPort(1));
    EXPECT_TRUE(nv::IsValidComPort(99));
    EXPECT_FALSE(nv::IsValidComPort(100));  // would share an id with a network user
    EXPECT_FALSE(nv::IsValidComPort(-3));
}

TEST(CommandLine, SecondInstanceComparesTheWholeTextExactly) {
    using nv::SecondInstanceCommand;
    EXPECT_EQ(nv::SecondInstanceCommandFor("-r"), SecondInstanceCommand::kViewOnPalm);
    EXPECT_EQ(nv::SecondInstanceCommandFor("-p"), SecondInstanceCommand::kNone);
    EXPECT_EQ(nv::SecondInstanceCommandFor(" -r"), SecondInstanceCommand::kShowMain);
    EXPECT_EQ(nv::SecondInstanceCommandFor("-R"), SecondInstanceCommand::kShowMain);
    EXPECT_EQ(nv::SecondInstanceCommandFor("-r 3"), SecondInstanceCommand::kShowMain);
    EXPECT_EQ(nv::SecondInstanceCommandFor(""), SecondInstanceCommand::kShowMain);
}

TEST(CommandLine, ArgumentTextSkipsTheProgramName) {
    EXPECT_EQ(nv::ArgumentText("norvane.exe -r"), "-r");
    EXPECT_EQ(nv::ArgumentText("\"C:\\Program Files\\n v\\norvane.exe\"   2 -l"), "2 -l");
    EXPECT_EQ(nv::ArgumentText("norvane.exe"), "");
    EXPECT_EQ(nv::ArgumentText("norvane.exe \" -r\""), "\" -r\"");
    EXPECT_EQ(nv::ArgumentText("\"unterminated"), "");
}
