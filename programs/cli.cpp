#include "programs/cli.h"

#include <getopt.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "common/print.h"
#include "common/reason.h"
#include "platform/console.h"
#include "platform/disk_file.h"

#ifndef RUX_VERSION
#error "RUX_VERSION must be defined by the build"
#endif

namespace rux {

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

OptionScan::OptionScan(int argc, char** argv, const char* shortOptions, const struct option* table)
    : argc_(argc), argv_(argv), shortOptions_(shortOptions), table_(table) {
    opterr = 0;  // every message is the tool's own
    optind = 1;
}

int OptionScan::Next() {
    for (;;) {
        got_ = getopt_long(argc_, argv_, shortOptions_, table_, nullptr);
        if (got_ == -1) return -1;
        if (got_ == '?' || got_ == ':') {
            Problem(OptionProblem(got_, argv_, table_));
            continue;
        }
        const int option = got_ >= LONG_OPTION ? got_ - LONG_OPTION : got_;
        if (option != 'h' && option != 'V') return option;
        if (answer_ == 0) answer_ = option;
    }
}

std::string OptionScan::Name() const {
    return OptionName(got_, table_);
}

void OptionScan::Problem(const std::string& what) {
    if (problem_.empty()) problem_ = what;
}

int OptionScan::Jobs() {
    std::uint64_t jobs = 0;
    if (ParseNumber(optarg, MAX_WORKERS, &jobs) && jobs != 0) return static_cast<int>(jobs);
    Problem("Option " + Name() + " takes a number of jobs from 1 to " + std::to_string(MAX_WORKERS) +
            ", not '" + optarg + "'");
    return 1;
}

int OptionScan::Answer(std::FILE* out, const char* usage, const char* program) const {
    if (answer_ == 'h') {
        std::fputs(usage, out);
        FlushStream(out);
        return 1;
    }
    if (answer_ == 'V') {
        PrintVersion(out, program);
        return 1;
    }
    return 0;
}

void PrintTryHelp(std::FILE* err, const char* program) {
    std::fprintf(err, "Try '%s --help' for more information.\n", program);
    std::fflush(err);
}

int CloseStandardOutput(const char* program, int status) {
    if (CloseStream(stdout)) return status;
    const int code = LastError();
    // Without a known reason, as GNU tools say it.
    const std::string reason = code ? ErrorText(code) : "write error";
    std::fputs(ReasonLine(program, "standard output", reason).c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

int Complain(const char* program, const std::string& message, int status) {
    FlushStream(stdout);
    std::fprintf(stderr, "%s: %s\n", program, EscapedName(message.c_str()).c_str());
    return status;
}

int RunProgram(const char* program, int (*run)(int, char**), int argc, char** argv, int troubleStatus) {
    int status;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        status = Complain(program, e.what(), troubleStatus);
    }
    // Every write to standard output is checked here, at its close.
    return CloseStandardOutput(program, 0) != 0 ? troubleStatus : status;
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
