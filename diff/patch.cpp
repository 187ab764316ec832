#include "diff/patch.h"

#include <set>

#include "common/workers.h"
#include "diff/diff.h"
#include "resource/ascii.h"

namespace rux {

int ChoosePatchEntries(const std::vector<std::string>& bases, const PackOptions& options,
                       const std::vector<PackEntry>& entries, PatchChoice* choice, std::string* error) {
    *choice = PatchChoice();
    DiffSide base, tree;
    base.files = bases;
    tree.dir = options.dir;
    tree.entries = &entries;
    DiffOptions diff;
    diff.jobs = options.jobs > 0 ? options.jobs : DefaultWorkers();
    DiffResult result;
    if (!Diff(base, tree, diff, &result, error)) return 0;
    if (!result.troubles.empty()) {
        const DiffTrouble& t = result.troubles.front();
        *error = "cannot compare " + t.name + " with its base: " + t.reason;
        return 0;
    }
    // Added, changed, and spelled otherwise: a patch that holds the new
    // spelling shows it over the base's.
    std::set<std::string> wanted;
    for (const DiffItem& item : result.items) {
        if (item.change == 'D') choice->absent.push_back(item.old.name);
        const bool respelled = item.change == 'K' && item.old.name != item.now.name;
        if (item.change == 'A' || item.change == 'M' || respelled) wanted.insert(item.now.name);
    }
    for (const PackEntry& entry : entries) {
        if (wanted.count(entry.name)) choice->entries.push_back(entry);
    }
    choice->listed = result.oldRecords;
    return 1;
}

std::string AbsentText(const std::vector<std::string>& bases, const std::string& dir, std::size_t count) {
    std::string joined;
    for (const std::string& base : bases) joined += (joined.empty() ? "" : "+") + base;
    return std::to_string(count) + (count == 1 ? " resource of " : " resources of ") + joined +
           (count == 1 ? " is" : " are") + " not in " + dir + "; a patch cannot remove " +
           (count == 1 ? "it" : "them");
}

}  // namespace rux
