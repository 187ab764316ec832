// What the command lines of rux-extract, rux-pack and rux-mount share: the
// answers to --help and --version, the number parser for option values,
// and the messages for getopt_long's complaints.
//
// Both getopt_long tables follow one convention: a long option that has a
// short twin carries LONG_OPTION plus the twin's letter, so a message can
// name the option as it was typed ("-j" or "--jobs"); one with no twin
// carries a value of its own between 256 and LONG_OPTION.
#ifndef RUX_PROGRAMS_CLI_H
#define RUX_PROGRAMS_CLI_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/workers.h"

struct option;

namespace rux {

// Where the long twins of short options begin (see above).
constexpr int LONG_OPTION = 2000;

// A plain decimal number from 0 to max (digits only: no sign, no space, no
// suffix). 1 and *value set, or 0.
int ParseNumber(const char* text, std::uint64_t max, std::uint64_t* value);

// "PROGRAM VERSION" and a newline on out.
void PrintVersion(std::FILE* out, const char* program);

// The option of getopt_long's value as typed: "--jobs" for a value of the
// table, else "-j".
std::string OptionName(int value, const struct option* table);

// What is wrong when getopt_long answers '?' or ':' (with optopt and
// optind as it left them): "Unknown option -z", "Option --list takes no
// value", "Option -i needs a value".
std::string OptionProblem(int answer, char** argv, const struct option* table);

// Walks a command line with getopt_long under the tools' conventions:
// getopt's own messages off, each complaint kept as a problem, the first
// of -h/--help and -V/--version remembered, and only the first problem
// kept, since it is the one a user fixes first.
class OptionScan {
public:
    OptionScan(int argc, char** argv, const char* shortOptions, const struct option* table);

    // The next option, a long twin folded to its short letter; -1 when the
    // options end (optind then indexes the first operand). Complaints and
    // -h/-V are dealt with here and not returned.
    int Next();
    // The option Next returned, as typed ("--jobs" or "-j").
    std::string Name() const;
    // Keeps what is wrong, unless something was wrong before.
    void Problem(const std::string& what);
    // The value of -j/--jobs: 1 to MAX_WORKERS, else a problem and 1.
    int Jobs();

    // After the options: for -h, usage; for -V, "PROGRAM VERSION"; on out,
    // flushed. 1 when it answered, else 0.
    int Answer(std::FILE* out, const char* usage, const char* program) const;

    const std::string& problem() const { return problem_; }
    int answer() const { return answer_; }  // 'h', 'V' or 0

private:
    int argc_;
    char** argv_;
    const char* shortOptions_;
    const struct option* table_;
    int got_ = 0;  // as getopt_long gave it
    int answer_ = 0;
    std::string problem_;
};

// "Try 'PROGRAM --help' for more information." on err: the one place this
// line is written, for every program.
void PrintTryHelp(std::FILE* err, const char* program);

// "PROGRAM: MESSAGE" on standard error, MESSAGE's control bytes escaped,
// after what standard output holds is written. Returns status.
int Complain(const char* program, const std::string& message, int status);

// Flushes and closes standard output, as the last thing a run does. When
// something written to it did not go out (a full disk, a closed pipe),
// prints "PROGRAM: standard output: REASON" on standard error and returns
// 1; else returns status.
int CloseStandardOutput(const char* program, int status);

// A program's main around run: its status, or for an exception it lets out
// the exception's text by Complain and troubleStatus; then standard output
// is closed and checked, and when that fails (told on standard error) the
// status is troubleStatus.
int RunProgram(const char* program, int (*run)(int, char**), int argc, char** argv, int troubleStatus);

// If word is "--help" or "--version", prints usage or "TOOL VERSION" (tool
// being the first word of usage after "Usage: ") to standard output and
// returns 1; otherwise returns 0 and prints nothing. With onlyIfNoFile set
// the word is not taken as an option when a file of that name exists, so
// such a file can still be named as an argument.
int AnswerInfoOption(const char* word, const char* usage, int onlyIfNoFile);

}  // namespace rux

#endif
