// Texts from outside (file names, peers' lines) made safe to print on a terminal or a log.
#ifndef CLI_SHOWN_H
#define CLI_SHOWN_H

#include <string>

namespace cli {

// The text with control characters and DEL written as "\xNN", so that it can neither drive
// a terminal nor split a log line. Other bytes stand as they are.
std::string shown(const std::string& text);

// Whether the text holds a control character (a zero byte included).
bool has_control(const std::string& text);

}  // namespace cli

#endif
