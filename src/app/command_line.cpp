// Command-line tokens; see command_line.h.
#include "app/command_line.h"
#include <cstdlib>

namespace nv {

std::string ArgumentText(const std::string &full) {
    size_t i = 0;
    if (!full.empty() && full[0] == '"') {
        size_t close = full.find('"', 1);
        i = close == std::string::npos ? full.size() : close + 1;
    } else {
        while (i < full.size() && full[i] != ' ' && full[i] != '\t') ++i;
    }
    while (i < full.size() && (full[i] == ' ' || full[i] == '\t')) ++i;
    return full.substr(i);
}

std::vector<std::string> SplitCommandLine(const std::string &line) {
    std::vector<std::string> tokens;
    size_t start = 0;
    while (start <= line.size()) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos) space = line.size();
        if (space > start) tokens.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    return tokens;
}

namespace {
CommandAction PortAction(const std::string &token) {
    size_t at = token.find('@');
    const char *number = at == std::string::npos ? token.c_str() : token.c_str() + at + 1;
    return CommandAction{CommandAction::kOpenPort, atoi(number), std::string()};
}
}  // namespace

std::vector<CommandAction> ParseCommandLine(const std::string &line) {
    std::vector<CommandAction> actions;
    std::vector<std::string> tokens = SplitCommandLine(line);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string &t = tokens[i];
        if (t[0] != '-') {
            actions.push_back(PortAction(t));
            continue;
        }
        char option = t.size() > 1 ? t[1] : '\0';
        if (option == 'i') {
            if (i + 1 < tokens.size()) actions.push_back({CommandAction::kInstallArg, 0, tokens[++i]});
        } else if (option == 'l') {
            actions.push_back({CommandAction::kLogTraffic, 0, std::string()});
        } else if (option == 'p' || option == 'r') {
            actions.push_back({CommandAction::kWatchPowerPoint, 0, std::string()});
        }
    }
    return actions;
}

SecondInstanceCommand SecondInstanceCommandFor(const std::string &line) {
    if (line == "-r") return SecondInstanceCommand::kViewOnPalm;
    if (line == "-p") return SecondInstanceCommand::kNone;
    return SecondInstanceCommand::kShowMain;
}

}  // namespace nv
