// The hub's command line, turned into an ordered list of actions.
//
// Order matters ("-l" only affects ports named after it), so parsing yields a
// sequence that start-up applies left to right. Kept free of Windows so the
// rules can be tested natively.
#pragma once
#include <string>
#include <vector>

namespace nv {

struct CommandAction {
    enum Kind {
        kInstallArg,    // "-i": the next token, stored and never consulted
        kLogTraffic,    // "-l"
        kWatchPowerPoint,  // "-p" or "-r"
        kOpenPort,      // a COM port number (as atoi reads it)
    };
    Kind kind;
    int port;           // kOpenPort only
    std::string text;   // kInstallArg only
};

// The argument text of a full process command line: the program name (quoted
// or not) and the blanks after it are skipped, as the C runtime does.
std::string ArgumentText(const std::string &fullCommandLine);

// Splits at single spaces only (no tabs, no quoting), skipping empty pieces.
std::vector<std::string> SplitCommandLine(const std::string &line);
std::vector<CommandAction> ParseCommandLine(const std::string &line);

// What a second instance posts to the running hub.
enum class SecondInstanceCommand { kNone, kViewOnPalm, kShowMain };
SecondInstanceCommand SecondInstanceCommandFor(const std::string &line);

// Serial connection ids are COM port numbers; ids from 100 up belong to
// network users, so only these ports can become connections.
inline bool IsValidComPort(int port) { return port >= 1 && port <= 99; }

}  // namespace nv
