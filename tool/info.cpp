#include "tool/info.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifndef RUX_VERSION
#error "RUX_VERSION must be defined by the build"
#endif

const char* const EXTRACT_USAGE =
    "Usage: rux-extract FILE.rux [OUTDIR]\n"
    "       rux-extract --help | --version\n"
    "\n"
    "Writes every resource of FILE.rux below OUTDIR (default: __NAME in the\n"
    "current directory, NAME being the resource file's own name), printing\n"
    "one line per resource: storage kind, name, size. The exit status is 0\n"
    "only when every listed resource was written in full.\n";

int AnswerInfoOption(const char* word, const char* usage, int onlyIfNoFile) {
    const bool help = std::strcmp(word, "--help") == 0;
    const bool version = std::strcmp(word, "--version") == 0;
    if (!help && !version) return 0;
    if (onlyIfNoFile) {
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(word, ec))) return 0;
    }
    if (help) {
        std::fputs(usage, stdout);
    } else {
        const char* tool = usage;
        if (std::strncmp(tool, "Usage: ", 7) == 0) tool += 7;
        const std::size_t length = std::strcspn(tool, " \n");
        std::printf("%.*s %s\n", static_cast<int>(length), tool, RUX_VERSION);
    }
    return 1;
}
