#include "common/reason.h"

#include "platform/disk_file.h"
#include "common/print.h"

namespace rux {

std::string ReasonLine(const char* program, const std::string& what, const std::string& reason) {
    if (reason.empty()) return "";
    return std::string(program) + ": " + EscapedName(what.c_str()) + ": " + reason + "\n";
}

std::string SystemReason(int code) { return code == 0 ? "" : rux::ErrorText(code); }

}  // namespace rux
