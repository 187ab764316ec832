#include "tool/info.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifndef RUX_VERSION
#error "RUX_VERSION must be defined by the build"
#endif

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
