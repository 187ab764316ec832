#include "tool/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "resource/ascii.h"
#include "tool/jobs.h"

namespace {

struct Glue {
    const JobSet* set;
    const int* after;
    // Which items have been worked on, for those that wait on one.
    std::vector<char> done;
    std::mutex lock;
    std::condition_variable finished;
};

int RunRange(void* context, int job, std::uint32_t range, int worker) {
    Glue& glue = *static_cast<Glue*>(context);
    const int before = glue.after && range == 0 ? glue.after[job] : -1;
    if (before >= 0) {
        // Handed out before this one, so running or done: never a wait on
        // something that waits in turn on this.
        std::unique_lock<std::mutex> hold(glue.lock);
        glue.finished.wait(hold, [&] { return glue.done[static_cast<std::size_t>(before)] != 0; });
    }
    return glue.set->runRange(glue.set->context, job, range, worker);
}

void FinishJob(void* context, int job, int worker) {
    Glue& glue = *static_cast<Glue*>(context);
    if (glue.set->finishJob) glue.set->finishJob(glue.set->context, job, worker);
    if (glue.after) {
        {
            std::lock_guard<std::mutex> hold(glue.lock);
            glue.done[static_cast<std::size_t>(job)] = 1;
        }
        glue.finished.notify_all();
    }
}

int TakeRange(void* context, int job, std::uint32_t range) {
    const Glue& glue = *static_cast<Glue*>(context);
    return glue.set->takeRange(glue.set->context, job, range);
}

int TakeJob(void* context, int job) {
    const Glue& glue = *static_cast<Glue*>(context);
    return glue.set->takeJob(glue.set->context, job);
}

void DropJob(void* context, int job) {
    const Glue& glue = *static_cast<Glue*>(context);
    glue.set->dropJob(glue.set->context, job);
}


}  // namespace

int RunInOrder(const JobSet& set, const int* after) {
    if (set.jobCount < 0 || set.jobCount > MAX_JOBS || !set.runRange || !set.takeJob) return -1;
    Glue glue;
    glue.set = &set;
    glue.after = after;
    if (after) glue.done.assign(static_cast<std::size_t>(set.jobCount), 0);
    JobSet wrapped = set;
    wrapped.context = &glue;
    wrapped.runRange = RunRange;
    wrapped.finishJob = FinishJob;
    wrapped.takeRange = set.takeRange ? TakeRange : nullptr;
    wrapped.takeJob = TakeJob;
    wrapped.dropJob = set.dropJob ? DropJob : nullptr;
    return RunJobs(wrapped);
}

namespace {

int Root(std::vector<int>& parent, int i) {
    while (parent[static_cast<std::size_t>(i)] != i) {
        int& up = parent[static_cast<std::size_t>(i)];
        up = parent[static_cast<std::size_t>(up)];
        i = up;
    }
    return i;
}

void Join(std::vector<int>& parent, int a, int b) {
    a = Root(parent, a);
    b = Root(parent, b);
    if (a != b) parent[static_cast<std::size_t>(a < b ? b : a)] = a < b ? a : b;
}

}  // namespace

void OrderCollisions(const char* const* names, int count, int* after) {
    std::vector<std::string> folded;
    folded.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) folded.push_back(rux::FoldedPath(names[i]));
    std::vector<int> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return folded[static_cast<std::size_t>(a)] < folded[static_cast<std::size_t>(b)];
    });
    std::vector<int> parent(order.size());
    std::iota(parent.begin(), parent.end(), 0);
    const auto byName = [&](int item, const std::string& text) { return folded[static_cast<std::size_t>(item)] < text; };
    for (std::size_t k = 0; k < order.size(); ++k) {
        const int item = order[k];
        const std::string& name = folded[static_cast<std::size_t>(item)];
        if (k + 1 < order.size() && folded[static_cast<std::size_t>(order[k + 1])] == name) Join(parent, item, order[k + 1]);
        // Names below this one as a directory sort together, right after "name/".
        const std::string below = name + '/';
        for (auto it = std::lower_bound(order.begin(), order.end(), below, byName);
             it != order.end() && folded[static_cast<std::size_t>(*it)].compare(0, below.size(), below) == 0; ++it) {
            Join(parent, item, *it);
        }
    }
    // Each item waits for the one before it in its group.
    std::vector<int> last(order.size(), -1);
    for (int i = 0; i < count; ++i) {
        const int root = Root(parent, i);
        after[i] = last[static_cast<std::size_t>(root)];
        last[static_cast<std::size_t>(root)] = i;
    }
}
