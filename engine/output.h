// The output side of rux-extract: one output tree per run, and each output
// file written under a temporary name in its own directory and renamed into
// place only when it is complete (see platform/output_dir.h). Every
// failure keeps its reason for LastError().
//
// Below the output directory no link is ever followed: a directory
// component that is a link refuses the file, and a final component that is
// a link is replaced by the new file, its target never opened. A file that
// fails is removed, so an existing file of that name stays as it was; the
// tree's temporaries are in a table of its own, which a program's signal
// handler empties with RemoveLiveTemporaries.
//
// Every call but OutputTree's Open and Close may be made from several
// threads at once, each with its own OutputFile and path. Trees are
// independent of each other: two runs may write two trees at once.
#ifndef RUX_ENGINE_OUTPUT_H
#define RUX_ENGINE_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/disk_file.h"

namespace rux {

// What OutputTree::Begin and FinishOutput met.
enum class OutputResult {
    Done,    // begun; or, from FinishOutput, in place
    Failed,  // cannot be written (the reason in LastError())
    Link,    // a directory component is a link (path cut after it)
    Exists,  // without replacing: the name is taken, nothing written
};

struct SharedDirectory;

// One output file being written.
struct OutputFile {
    rux::DiskFile file;     // the temporary, open for writing
    int temporary = -1;     // its platform slot
    std::size_t nameStart = 0;  // where the final component begins in the path
    SharedDirectory* shared = nullptr;  // holds its directory open (null: the output directory)
};

// One output directory and the directories below it that files were
// begun in, kept open for the run so that the files of one directory cost
// no walk.
class OutputTree {
public:
    OutputTree() = default;
    ~OutputTree() { Close(); }
    OutputTree(const OutputTree&) = delete;
    OutputTree& operator=(const OutputTree&) = delete;

    // Opens the output directory, which must exist, for the calls below;
    // the directory and its parents may be links. 1, or 0 if it cannot be
    // opened; then every Begin fails, with LastError() set to reason, or
    // when that is 0 to the open's own reason. Claims the tree's table of
    // temporaries.
    int Open(const char* outdir, int reason = 0);

    // Closes what Open opened. Safe when nothing is open. Files begun and
    // not yet finished keep their own directory open until they end.
    void Close();

    // Begins the file at path, which is the output directory followed by a
    // separator and a name whose separators are '/' or '\'; start is where
    // the name begins. Makes the directories that the name implies, as
    // needed, and creates the temporary. With noClobber an existing entry
    // of that name gives OutputResult::Exists and nothing is made but its
    // directories. On OutputResult::Link, path is cut after the link's
    // name, for the message.
    OutputResult Begin(OutputFile* output, char* path, std::size_t start, int noClobber);

    // Lets go of the directories kept for the run whose turn is part of
    // parts (0 <= part < parts), closing those that no file being written
    // holds. Each worker that has nothing left to begin calls it with its
    // own part, so that the run's directories close on every worker at
    // once rather than one by one at Close. A file begun after opens its
    // directories again.
    void Trim(int part, int parts);

private:
    // At most this many directories stay open at once: the run's share of
    // the descriptors (OpenHandleBudget), set by Open.
    std::size_t directoryHandles_ = 8;

    SharedDirectory* Find(const char* name, std::size_t length);
    SharedDirectory* Keep(FileHandle dir, const char* name, std::size_t length, int madeNow = 0);

    FileHandle root_ = INVALID_FILE_HANDLE;  // read-only while workers run
    int table_ = -1;                         // of its temporaries
    int rootError_ = 0;                      // why it could not be opened
    // By the directory's name part: each directory opened once for the
    // run, until the table is full; then a newcomer takes one entry over.
    std::mutex lock_;
    std::unordered_map<std::string, SharedDirectory*> directories_;
    std::uint64_t kept_ = 0;  // directories kept so far: each one's turn in Trim
};

// Closes the file and renames it into place: over an existing file or link
// of that name, or with noClobber never over anything
// (OutputResult::Exists). On anything but OutputResult::Done the temporary
// is removed. path and noClobber are those of OutputTree::Begin.
OutputResult FinishOutput(OutputFile* output, const char* path, int noClobber);

// Closes and removes the temporary; nothing of the file is left.
void AbortOutput(OutputFile* output);

}  // namespace rux

#endif
