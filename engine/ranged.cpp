#include "engine/ranged.h"


#include "common/names.h"
#include "platform/disk_file.h"

namespace rux {

namespace {

void LowerTo(std::atomic<std::uint64_t>& value, std::uint64_t candidate) {
    std::uint64_t now = value.load();
    while (candidate < now && !value.compare_exchange_weak(now, candidate)) {
    }
}

// Reads want bytes of the ranged resource from position from into data.
// Returns the bytes a sequential read delivers before its first failure in
// the range: want when none.
std::uint32_t ReadRange(const ResourceSet& set, const RangedResource& r, unsigned char* data, std::uint32_t from,
                        std::uint32_t want, ReadStatus* status) {
    if (set.ReadAt(r.slot, from, data, want, status) >= 0) return want;
    if (r.kind == KIND_STORED) return status->delivered;
    // Some block failed: which pieces before it come through.
    std::uint32_t got = 0;
    while (got < want) {
        const std::uint32_t n = want - got < r.piece ? want - got : r.piece;
        if (set.ReadAt(r.slot, from + got, data + got, n, status) != n) break;
        got += n;
    }
    return got;
}

}  // namespace

std::uint32_t RangesOf(const ResourceEntry& entry, int mode, std::uint32_t* rangeBytes) {
    if (IsUnsafeName(entry.name, WINDOWS_RULES)) return 0;
    std::uint32_t bytes = COPY_BYTES;
    if (entry.kind == KIND_DEFLATED) {
        const std::uint32_t block = entry.blockLength;
        if (block == 0 || block > COPY_BYTES) return 0;
        bytes = COPY_BYTES / block * block;
    } else if (entry.kind != KIND_STORED) {
        return 0;
    }
    const std::uint64_t ranges = (static_cast<std::uint64_t>(entry.size) + bytes - 1) / bytes;
    if (mode != MODE_STDOUT && ranges < MIN_RANGES) return 0;
    if (mode == MODE_STDOUT && ranges > 1 && entry.kind == KIND_DEFLATED && entry.blockLength % FAILURE_PIECE != 0) {
        return 0;
    }
    *rangeBytes = bytes;
    return ranges ? static_cast<std::uint32_t>(ranges) : 1;
}

std::uint32_t RangedResource::Length(std::uint32_t range) const {
    const std::uint64_t from = static_cast<std::uint64_t>(range) * rangeBytes;
    if (from >= size) return 0;
    return static_cast<std::uint32_t>(size - from < rangeBytes ? size - from : rangeBytes);
}

void RangedResource::Work(const RunPlan& plan, int slotOfItem, std::uint32_t range, unsigned char* buffer,
                          RangeBytes* held, ResourceEnd& end) {
    if (held) held->got = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!started) {
            started = 1;
            ResourceInput stream;
            int opened = 0;
            if (StartResource(plan, slotOfItem, stream, &opened, &size, end, &outcome)) {
                if (!opened) readFailure = stream.status;
                slot = stream.Slot();
                kind = plan.set->Slots()[slot].kind;
                piece = CopyPiece(stream);
                // The ranges are read below without the stream.
                stream.Close();
                if (!opened) LowerTo(firstUnread, 0);
                if (plan.mode == MODE_EXTRACT) path.reset(new char[PATH_BYTES]);
                used = plan.mode != MODE_EXTRACT ||
                       BeginFile(plan, plan.set->Slots()[slotOfItem].name, path.get(), output, end, &outcome);
            }
        }
    }
    const std::uint32_t want = used ? Length(range) : 0;
    if (want == 0) return;
    if (StopRequested(plan.stop)) {
        stopped = 1;
        return;
    }
    const std::uint32_t from = range * rangeBytes;
    // Once the resource has failed, only standard output still takes the
    // bytes before the failure.
    if (held ? firstUnread.load() < from : firstUnread.load() != ~0ull || firstUnwritten.load() != ~0ull) {
        return;
    }
    unsigned char* data;
    if (held) {
        if (!held->bytes) held->bytes.reset(new unsigned char[COPY_BYTES]);
        data = held->bytes.get();
    } else {
        data = buffer;
    }
    ReadStatus status;
    const std::uint32_t got = ReadRange(*plan.set, *this, data, from, want, &status);
    plan.progress->Add(got);
    if (held) held->got = got;
    // The bytes before a failure are written too, as the sequential run
    // writes them, so that the earlier failure is the one told.
    if (plan.mode == MODE_EXTRACT && got != 0 && output.file.WriteAt(data, got, static_cast<std::int64_t>(from)) != got) {
        int none = 0;
        writeError.compare_exchange_strong(none, LastError());
        LowerTo(firstUnwritten, from);
    }
    if (got != want) {
        std::lock_guard<std::mutex> hold(lock);
        if (from + got < firstUnread.load()) readFailure = status;
        LowerTo(firstUnread, from + got);
    }
}

ResourceOutcome RangedResource::End(const RunPlan& plan, ResourceEnd& end) {
    if (!used) return outcome;
    if (stopped.load() || StopRequested(plan.stop)) {
        Drop();
        return ResourceOutcome::Stopped;
    }
    const int delivered = firstUnread.load() == ~0ull;
    if (plan.mode == MODE_EXTRACT) {
        used = 0;
        if (firstUnwritten.load() < firstUnread.load()) {
            AbortOutput(&output);
            return TellOutput(OutputResult::Failed, path.get(), writeError.load(), end);
        }
        return EndFile(plan, path.get(), output, delivered, readFailure, slot, end);
    }
    if (delivered) return ResourceOutcome::Done;
    return TellUnread(plan, slot, readFailure, end);
}

void RangedResource::Drop() {
    if (!used || !path) return;
    AbortOutput(&output);
    used = 0;
}

}  // namespace rux
