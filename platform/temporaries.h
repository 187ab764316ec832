// The tables of live temporaries behind platform/output_dir.h, the same on
// every system: only what a slot holds (a directory and a name, or a whole
// path) differs. Inside the output side's implementations only.
//
// A run claims a table (ClaimTemporaries), and each file it writes claims
// a slot of it. A slot's state is 0 free, 1 being filled in or emptied
// (or, on POSIX, unnamed), 2 live under its name: what ForEachLive, which
// is safe in a signal handler, acts on. Tables are made when first claimed
// and never freed, so that a handler may read any of them at any moment.
#ifndef RUX_PLATFORM_TEMPORARIES_H
#define RUX_PLATFORM_TEMPORARIES_H

#include <atomic>

#include "platform/output_dir.h"

namespace rux {

// Slot is a struct with a member std::atomic<int> state{0}. Made once, as
// a zero-initialised global.
template <typename Slot>
class TemporaryTables {
public:
    // A table no other run holds: its number, or -1 when all are held.
    int ClaimTable() {
        for (int i = 0; i < TEMPORARY_TABLES; ++i) {
            Table* table = tables_[i].load();
            if (!table) {
                Table* made = new Table;
                if (tables_[i].compare_exchange_strong(table, made)) {
                    table = made;
                } else {
                    delete made;  // another run made it first
                }
            }
            int free = 0;
            if (table->inUse.compare_exchange_strong(free, 1)) return i;
        }
        return -1;
    }
    void ReleaseTable(int table) {
        if (table >= 0 && table < TEMPORARY_TABLES) tables_[table].load()->inUse.store(0);
    }
    // A free slot of a claimed table, now in state 1: its number, or -1
    // when the table is full or no table of that number is claimed.
    int ClaimSlot(int table) {
        if (table < 0 || table >= TEMPORARY_TABLES) return -1;
        Table* t = tables_[table].load();
        if (!t) return -1;
        for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
            int expected = 0;
            if (t->slots[i].state.compare_exchange_strong(expected, 1)) return table * TEMPORARY_SLOTS + i;
        }
        return -1;
    }
    // The slot is emptied before what it names can be reused, so that a
    // handler never acts on a handle or path that now means another file.
    void ReleaseSlot(int slot) { SlotOf(slot).state.store(0); }
    Slot& SlotOf(int slot) { return tables_[slot / TEMPORARY_SLOTS].load()->slots[slot % TEMPORARY_SLOTS]; }
    // Calls remove(slot) for every live slot of every table.
    template <typename Remove>
    void ForEachLive(Remove remove) {
        for (std::atomic<Table*>& entry : tables_) {
            Table* table = entry.load();
            if (!table) continue;
            for (Slot& slot : table->slots) {
                if (slot.state.load() == 2) remove(slot);
            }
        }
    }

private:
    struct Table {
        std::atomic<int> inUse{0};
        Slot slots[TEMPORARY_SLOTS];
    };
    std::atomic<Table*> tables_[TEMPORARY_TABLES];
};

}  // namespace rux

#endif
