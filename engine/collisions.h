// Which resources of a run must be worked on one after the other: those
// that could meet in one output file or directory.
#ifndef RUX_ENGINE_COLLISIONS_H
#define RUX_ENGINE_COLLISIONS_H

namespace rux {

// Fills after (count entries) so that names that could write one output
// file, or where one's file would have to be a directory of another's
// (separators '/' and '\' are one, ASCII case is ignored), are worked on
// one after the other in item order: after[i] is the last such item before
// i, or -1. (Equal names also share one index slot, and so one stream.)
void OrderCollisions(const char* const* names, int count, int* after);

}  // namespace rux

#endif
