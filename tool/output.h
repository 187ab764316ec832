// The output side of rux-extract: one output tree per run, and each output
// file written under a temporary name in its own directory and renamed into
// place only when it is complete (see platform/output_dir.h). Every
// failure keeps its reason for LastError().
//
// Below the output directory no link is ever followed: a directory
// component that is a link refuses the file, and a final component that is
// a link is replaced by the new file, its target never opened. A file that
// fails is removed, so an existing file of that name stays as it was; a
// fatal signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, ...) removes every
// temporary too.
//
// Every call but OpenOutputTree and CloseOutputTree may be made from
// several threads at once, each with its own OutputFile and path.
#ifndef RUX_TOOL_OUTPUT_H
#define RUX_TOOL_OUTPUT_H

#include <cstddef>

#include "platform/disk_file.h"

// Results of BeginOutput and FinishOutput.
constexpr int OUTPUT_DONE = 1;     // begun; or, from FinishOutput, in place
constexpr int OUTPUT_FAILED = 0;   // cannot be written
constexpr int OUTPUT_LINK = -1;    // a directory component is a link (path cut after it)
constexpr int OUTPUT_EXISTS = -2;  // without replacing: the name is taken, nothing written

struct SharedDirectory;

// One output file being written.
struct OutputFile {
    rux::DiskFile file;     // the temporary, open for writing
    int temporary = -1;     // its platform slot
    std::size_t nameStart = 0;  // where the final component begins in the path
    SharedDirectory* shared = nullptr;  // holds its directory open (null: the output directory)
};

// Opens the output directory, which must exist, for the calls below; the
// directory and its parents may be links. 1, or 0 if it cannot be opened;
// then every BeginOutput fails, with LastError() set to reason, or when
// that is 0 to the open's own reason. Also makes fatal signals remove live
// temporaries.
int OpenOutputTree(const char* outdir, int reason = 0);

// Closes what OpenOutputTree opened. Safe when nothing is open.
void CloseOutputTree();

// Begins the file at path, which is the output directory followed by a
// separator and a name whose separators are '/' or '\'; start is where the
// name begins. Makes the directories that the name implies, as needed, and
// creates the temporary. With noClobber an existing entry of that name
// gives OUTPUT_EXISTS and nothing is made but its directories. On
// OUTPUT_LINK, path is cut after the link's name, for the message.
int BeginOutput(OutputFile* output, char* path, std::size_t start, int noClobber);

// Closes the file and renames it into place: over an existing file or link
// of that name, or with noClobber never over anything (OUTPUT_EXISTS). On
// anything but OUTPUT_DONE the temporary is removed. path and noClobber are
// those of BeginOutput.
int FinishOutput(OutputFile* output, const char* path, int noClobber);

// Closes and removes the temporary; nothing of the file is left.
void AbortOutput(OutputFile* output);

#endif
