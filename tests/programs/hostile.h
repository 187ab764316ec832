// Shared by the hostile-input tests of the real rux-extract: running it on
// resource file bytes in a fresh directory, and checking what every run on
// any input must satisfy.
#ifndef RUX_TESTS_PROGRAMS_HOSTILE_H
#define RUX_TESTS_PROGRAMS_HOSTILE_H

#include <string>
#include <vector>

#include "tests/support/fixture.h"
#include "tests/support/run.h"

// The loose resource of HostileRun's directory, beside every resource file.
constexpr const char* LOOSE_NAME = "l.txt";
constexpr const char* LOOSE_DATA = "loose bytes\n";

struct HostileRun {
    TempDir dir;  // f.rux, its loose file f.ruxl.txt, and the output out/
    RunResult result;
    std::string outdir() const { return dir / "out"; }
};

// Writes bytes as f.rux beside its loose file and extracts it into out/.
void RunOnBytes(HostileRun* run, const std::string& bytes, int timeoutSeconds = 30);

// The properties that hold for every input: status 0 or 1, no signal, no
// time-out, nothing made or changed outside out/, and with status 0 each
// listed resource written with its printed size. Failures name label.
void ExpectSound(const HostileRun& run, const std::string& label);

#endif
