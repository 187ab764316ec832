#include "programs/progress.h"

namespace rux {

namespace {

// How often the line is redrawn while bytes come in.
constexpr std::chrono::milliseconds REDRAW_EVERY(100);

// bytes in the largest binary unit that keeps the figure below 1024.
void FormatBytes(char* text, std::size_t room, double bytes) {
    static const char* const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    if (unit == 0) {
        std::snprintf(text, room, "%.0f B", bytes);
    } else {
        std::snprintf(text, room, "%.1f %s", bytes, UNITS[unit]);
    }
}

}  // namespace

void ProgressStart(Progress& progress, std::FILE* stream, std::uint64_t totalBytes, unsigned totalResources) {
    progress = Progress();
    progress.stream = stream;
    progress.totalBytes = totalBytes;
    progress.totalResources = totalResources;
    progress.start = std::chrono::steady_clock::now();
    if (stream) ProgressDraw(progress);
}

void ProgressAdd(Progress& progress, std::uint64_t bytes) {
    if (!progress.stream) return;
    const ProgressHold hold(progress);
    progress.doneBytes += bytes;
    if (std::chrono::steady_clock::now() - progress.drawn >= REDRAW_EVERY) ProgressDraw(progress);
}

void ProgressResize(Progress& progress, std::uint64_t listed, std::uint64_t real) {
    const ProgressHold hold(progress);
    progress.totalBytes = progress.totalBytes - listed + real;
}

void ProgressResourceDone(Progress& progress) {
    if (!progress.stream) return;
    const ProgressHold hold(progress);
    ++progress.doneResources;
    if (std::chrono::steady_clock::now() - progress.drawn >= REDRAW_EVERY) ProgressDraw(progress);
}

void ProgressSet(Progress& progress, std::uint64_t doneBytes, std::uint64_t totalBytes, unsigned doneResources,
                 unsigned totalResources) {
    if (!progress.stream) return;
    const ProgressHold hold(progress);
    progress.doneBytes = doneBytes;
    progress.totalBytes = totalBytes;
    progress.doneResources = doneResources;
    progress.totalResources = totalResources;
    if (std::chrono::steady_clock::now() - progress.drawn >= REDRAW_EVERY) ProgressDraw(progress);
}

void ProgressClear(Progress& progress) {
    const ProgressHold hold(progress);
    if (!progress.stream || progress.width == 0) return;
    std::fprintf(progress.stream, "\r%*s\r", progress.width, "");
    std::fflush(progress.stream);
    progress.width = 0;
}

void ProgressDraw(Progress& progress) {
    const ProgressHold hold(progress);
    if (!progress.stream) return;
    const auto now = std::chrono::steady_clock::now();
    progress.drawn = now;
    const double seconds = std::chrono::duration<double>(now - progress.start).count();
    const std::uint64_t total = progress.totalBytes > progress.doneBytes ? progress.totalBytes : progress.doneBytes;
    const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(progress.doneBytes * 100 / total);
    char done[32], whole[32], rate[32], line[160];
    FormatBytes(done, sizeof done, static_cast<double>(progress.doneBytes));
    FormatBytes(whole, sizeof whole, static_cast<double>(total));
    const double perSecond = seconds > 0 ? static_cast<double>(progress.doneBytes) / seconds : 0.0;
    FormatBytes(rate, sizeof rate, perSecond);
    // The time left at the rate so far; unknown until bytes come.
    char left[32] = "--:--";
    if (perSecond > 0) {
        const std::uint64_t s = static_cast<std::uint64_t>(static_cast<double>(total - progress.doneBytes) / perSecond + 0.5);
        if (s >= 3600) {
            std::snprintf(left, sizeof left, "%llu:%02u:%02u", static_cast<unsigned long long>(s / 3600),
                          static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
        } else {
            std::snprintf(left, sizeof left, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
        }
    }
    int width = std::snprintf(line, sizeof line, "%s of %s, %u%%, %s/s, %s left, %u of %u resources", done, whole,
                              percent, rate, left, progress.doneResources, progress.totalResources);
    if (width < 0) return;
    if (width >= static_cast<int>(sizeof line)) width = static_cast<int>(sizeof line) - 1;
    // Spaces cover what a longer line before left behind.
    const int pad = progress.width > width ? progress.width - width : 0;
    std::fprintf(progress.stream, "\r%s%*s", line, pad, "");
    if (pad > 0) std::fprintf(progress.stream, "\r%s", line);
    std::fflush(progress.stream);
    progress.width = width;
}

void ProgressEnd(Progress& progress) {
    const ProgressHold hold(progress);
    if (!progress.stream) return;
    ProgressDraw(progress);
    std::fputc('\n', progress.stream);
    std::fflush(progress.stream);
    progress.width = 0;
    progress.stream = nullptr;
}

}  // namespace rux
