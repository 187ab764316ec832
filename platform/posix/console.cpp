// POSIX implementation of the console helpers.
#include "platform/console.h"

#include <unistd.h>

namespace rux {

int IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) ? 1 : 0; }

int SetBinaryMode(std::FILE*) { return 1; }

}  // namespace rux
