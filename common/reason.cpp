#include "common/reason.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/disk_file.h"
#include "common/print.h"

namespace rux {

std::string ReasonLine(const char* program, const std::string& what, const std::string& reason) {
    if (reason.empty()) return "";
    return std::string(program) + ": " + EscapedName(what.c_str()) + ": " + reason + "\n";
}

std::string SystemReason(int code) { return code == 0 ? "" : rux::ErrorText(code); }

int CloseStandardOutput(const char* program, int status) {
    if (rux::CloseStream(stdout)) return status;
    const int code = rux::LastError();
    // Without a known reason, as GNU tools say it.
    const std::string reason = code ? rux::ErrorText(code) : "write error";
    std::fputs(ReasonLine(program, "standard output", reason).c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

}  // namespace rux
