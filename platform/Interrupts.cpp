#include "Interrupts.h"

#include <atomic>

namespace Interrupts {
namespace {
// Slots hold a file while it may exist under a temporary name.
std::atomic<OutputFile*> g_slots[kMaxRegistered];
std::atomic<bool> g_arrived{false};
}  // namespace

bool Register(OutputFile* file) {
    // Read before the exchange: a slot taken is passed without writing to it.
    for (auto& slot : g_slots) {
        OutputFile* expected = nullptr;
        if (!slot.load(std::memory_order_relaxed) && slot.compare_exchange_strong(expected, file)) return true;
    }
    return false;
}

void Unregister(OutputFile* file) {
    for (auto& slot : g_slots) {
        OutputFile* expected = file;
        if (slot.load(std::memory_order_relaxed) == file && slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

bool Arrived() { return g_arrived.load(); }

void RemoveRegistered() noexcept {
    g_arrived.store(true);
    for (auto& slot : g_slots) {
        OutputFile* file = slot.exchange(nullptr);
        if (file) file->RemoveOnInterrupt();
    }
}

void InterruptNow() noexcept {
    Hold hold;
    RemoveRegistered();
}

}  // namespace Interrupts
