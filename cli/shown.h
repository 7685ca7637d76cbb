// Texts from outside (file names, peers' lines) made safe to print on a terminal or a log.
#ifndef CLI_SHOWN_H
#define CLI_SHOWN_H

#include <string>

namespace cli {

// The text with every byte that could drive a terminal or split a log line written as
// "\xNN": control characters (C0, DEL, and C1 both raw and in their UTF-8 form) and bytes
// that are not well-formed UTF-8. Printable ASCII and other UTF-8 characters stand.
std::string shown(const std::string& text);

// Whether the text holds a control character (a zero byte included).
bool has_control(const std::string& text);

}  // namespace cli

#endif
