#include "tool/parallel.h"

#include <algorithm>
#include <string>
#include <vector>

#include "tool/jobs.h"

namespace {

struct Glue {
    void* context;
    int (*work)(void*, int, int);
    int (*take)(void*, int);
};

int RunRange(void* context, int job, std::uint32_t, int worker) {
    const Glue& glue = *static_cast<Glue*>(context);
    return glue.work(glue.context, job, worker) ? RANGE_DONE : RANGE_FATAL;
}

int TakeJob(void* context, int job) {
    const Glue& glue = *static_cast<Glue*>(context);
    return glue.take(glue.context, job);
}

// The name as an output path is compared: separators as '/', ASCII
// letters in lower case.
std::string FoldedName(const char* name) {
    std::string folded;
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        folded += c;
    }
    return folded;
}

}  // namespace

int RunInOrder(int count, int workers, void* context, int (*work)(void*, int, int), int (*take)(void*, int)) {
    if (count < 0 || count > MAX_JOBS || workers < 1 || workers > MAX_JOB_WORKERS) return -1;
    Glue glue{context, work, take};
    JobSet set;
    set.jobCount = count;
    set.workers = workers < count ? workers : (count > 0 ? count : 1);
    // Each item is a whole resource; a few per worker keep them all busy.
    set.window = static_cast<std::uint32_t>(set.workers) * 4;
    if (set.window > MAX_JOB_WINDOW) set.window = MAX_JOB_WINDOW;
    set.context = &glue;
    set.runRange = RunRange;
    set.takeJob = TakeJob;
    return RunJobs(set);
}

int NamesCollide(const char* const* names, int count) {
    std::vector<std::string> folded;
    folded.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) folded.push_back(FoldedName(names[i]));
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if (i + 1 < folded.size() && folded[i] == folded[i + 1]) return 1;
        // Names below folded[i] as a directory sort right after "folded[i]/".
        const std::string below = folded[i] + '/';
        const auto next = std::lower_bound(folded.begin(), folded.end(), below);
        if (next != folded.end() && next->compare(0, below.size(), below) == 0) return 1;
    }
    return 0;
}
