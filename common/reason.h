// Why a failure happened, as the tools tell it: one line, for standard
// error after the failure's own message, naming the path and the reason.
#ifndef RUX_COMMON_REASON_H
#define RUX_COMMON_REASON_H

#include <string>

namespace rux {

// "PROGRAM: WHAT: REASON\n", with WHAT escaped as names are when printed
// (it comes from the resource file or the tree); "" when reason is empty.
std::string ReasonLine(const char* program, const std::string& what, const std::string& reason);

// The system's text for an error code of rux::LastError(), or "" for 0
// (no reason known).
std::string SystemReason(int code);

}  // namespace rux

#endif
