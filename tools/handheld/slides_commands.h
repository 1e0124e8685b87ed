// The slides plug-in's requests by name, so a person at a terminal can run a
// show with `handheld slides next` and read its answers as words.
//
// Apart from the simulator's general line language (script.cpp) because it
// knows one plug-in's protocol, which the general language must not.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>
#include "script.h"

namespace handheld {

extern const char kSlidesPlugin[];  // the name the plug-in is asked for
extern const char kSlidesUsage[];

// A line that starts with "slides": *action becomes the request (or an error)
// and the result is true. Any other line: false, *action untouched.
//   slides next | previous | first | last | black | white | start | end | query
//   slides goto N        (N = 1..65535)
bool ParseSlidesLine(const std::string &line, Action *action);

// The words after `handheld slides` on the command line ("next goto 3 query")
// as one "slides ..." line per request; false with *error on a word it does
// not know or a slide number that is missing.
bool SlidesArguments(const std::vector<std::string> &words, std::vector<std::string> *lines, std::string *error);

// "   slides: next: done\n" for an answer of the plug-in, "" for any other packet.
std::string DescribeSlidesAnswer(const uint8_t *packet, size_t size);

}  // namespace handheld
