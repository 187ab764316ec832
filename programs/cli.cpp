#include "programs/cli.h"

#include <getopt.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/console.h"

#ifndef RUX_VERSION
#error "RUX_VERSION must be defined by the build"
#endif

namespace rux {

int DefaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) return 1;
    return cores < static_cast<unsigned>(MAX_WORKERS) ? static_cast<int>(cores) : MAX_WORKERS;
}

int ParseNumber(const char* text, std::uint64_t max, std::uint64_t* value) {
    if (*text == '\0') return 0;
    std::uint64_t result = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (result > (max - digit) / 10) return 0;
        result = result * 10 + digit;
    }
    *value = result;
    return 1;
}

void PrintVersion(std::FILE* out, const char* program) {
    std::fprintf(out, "%s %s\n", program, RUX_VERSION);
    FlushStream(out);
}

namespace {

const struct option* Find(int value, const struct option* table) {
    for (const struct option* o = table; o->name; ++o) {
        if (o->val == value) return o;
    }
    return nullptr;
}

}  // namespace

std::string OptionName(int value, const struct option* table) {
    if (const struct option* o = Find(value, table)) return std::string("--") + o->name;
    return std::string("-") + static_cast<char>(value);
}

std::string OptionProblem(int answer, char** argv, const struct option* table) {
    const struct option* known = Find(optopt, table);
    if (answer == ':') {
        // MinGW-w64's getopt_long also answers ':' for a value given to a
        // long option that takes none.
        const bool takesValue = !known || known->has_arg != no_argument;
        return "Option " + OptionName(optopt, table) +
               (takesValue ? " needs a value" : " takes no value");
    }
    // optopt: 0 for an unknown long option, the value of a known long
    // option given a value, or the unknown short option.
    if (known) return "Option " + OptionName(optopt, table) + " takes no value";
    if (optopt != 0) return std::string("Unknown option -") + static_cast<char>(optopt);
    const char* word = argv[optind - 1];
    return "Unknown option " + std::string(word, std::strcspn(word, "="));
}

void PrintTryHelp(std::FILE* err, const char* program) {
    std::fprintf(err, "Try '%s --help' for more information.\n", program);
    std::fflush(err);
}

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
        return 1;
    }
    const char* tool = usage;
    if (std::strncmp(tool, "Usage: ", 7) == 0) tool += 7;
    PrintVersion(stdout, std::string(tool, std::strcspn(tool, " \n")).c_str());
    return 1;
}

}  // namespace rux
