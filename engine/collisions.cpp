#include "engine/collisions.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "resource/ascii.h"

namespace rux {

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

}  // namespace rux
