#include "ReplaceBatch.h"

#include <algorithm>
#include <system_error>

#include "Interrupts.h"

static_assert(2 * ReplaceBatch::kMaxFiles < Interrupts::kMaxRegistered, "every file of two batches is registered");

namespace {

// One flush for all of them; where it fails, none of them is known to be on
// the disk, and none is to be put in place.
bool FlushTogether(FileSystem& fs, Replacement* const* run, size_t count, FileError& error) {
    std::vector<OutputFile*> files;
    for (size_t i = 0; i < count; ++i) files.push_back(&run[i]->Output());
    const bool flushed = fs.FlushAll(files, error);
    for (size_t i = 0; i < count; ++i) flushed ? run[i]->Flushed() : run[i]->FlushFailed();
    return flushed;
}

}  // namespace

ReplaceBatch::~ReplaceBatch() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_quit = true;
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool ReplaceBatch::Add(std::unique_ptr<Replacement> replacement) {
    if (m_maxFiles == 0) {
        // The files of the first one are open already, and counted.
        size_t left = m_fs.OpenFilesLeft();
        size_t perFile = kOpenFilesPerFile * (m_durable && !m_noThread ? 2 : 1);
        size_t room = left > kOpenFilesForTheRest ? (left - kOpenFilesForTheRest) / perFile + 1 : 1;
        m_maxFiles = room < kMaxFiles ? room : kMaxFiles;
    }
    // Room first, so that nothing is taken when it throws.
    if (m_ids.size() == m_ids.capacity()) m_ids.reserve(m_ids.size() * 2 + kMaxFiles);
    uint64_t size = replacement->Size();
    // Only a flush to come has use for the writeback started now.
    if (m_durable) replacement->StartWriteback();
    const FileId id = replacement->Facts().id;
    size_t count;
    bool halted, wake, full, sealed = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // The thread's account of each has its room before it is needed.
        if (m_outcomes.capacity() <= m_pending.size()) m_outcomes.reserve(m_pending.size() + kMaxFiles);
        m_pending.push_back(std::move(replacement));
        m_ids.push_back(id);
        m_bytes += size;
        halted = m_halted;
        count = m_pending.size();
        full = count - m_sealed >= m_maxFiles || m_bytes >= kMaxBytes;
        // With durability, a full batch goes to the thread, to be flushed and
        // put in place while the next one fills.
        if (full && m_durable && !m_noThread) {
            m_lastBatch = m_sealed;
            m_sealed = count;
            m_bytes = 0;
            sealed = true;
        }
        size_t waiting = Ready() - m_outcomes.size();
        wake = m_sleeping && waiting > 0 && (m_durable || waiting >= kWakeAfter);
    }
    if (!m_noThread && !m_thread.joinable() && (sealed || !m_durable)) {
        try {
            m_thread = std::thread(&ReplaceBatch::PutInPlace, this);
        } catch (...) {
            m_noThread = true;
        }
    }
    if (wake) m_wake.notify_one();
    // A failure on the thread is told before the run goes further.
    if (halted) return true;
    if (m_noThread) return full || !m_durable;
    // One batch flushed while the next fills: the one before is told now.
    return m_durable ? sealed && m_lastBatch > 0 : full;
}

bool ReplaceBatch::Empty() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pending.empty();
}

size_t ReplaceBatch::Count() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pending.size();
}

bool ReplaceBatch::Holds(const FileId& id) const {
    for (const FileId& held : m_ids)
        if (held == id) return true;
    return false;
}

void ReplaceBatch::PutInPlace() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        // Without durability, woken for a few at a time: a wake costs more
        // than a file's rename.
        m_sleeping = true;
        m_wake.wait(lock, [this] {
            size_t waiting = Ready() - m_outcomes.size();
            return m_quit || (!m_halted && waiting > 0 && (m_durable || waiting >= kWakeAfter || m_settling));
        });
        m_sleeping = false;
        if (m_quit) return;
        // All that wait now, in one go: the lock is taken once for them.
        Replacement* run[kMaxFiles];
        Outcome outcomes[kMaxFiles];
        const size_t first = m_outcomes.size();
        size_t count = std::min(Ready() - first, kMaxFiles);
        for (size_t i = 0; i < count; ++i) run[i] = m_pending[first + i].get();
        const bool durable = m_durable;
        m_busy = true;
        lock.unlock();
        size_t tried = 0;
        bool failed = durable && !Flush(run, count, outcomes, tried);
        while (tried < count && !failed && !m_stop.load()) {
            Outcome& outcome = outcomes[tried++];
            try {
                outcome.result = run[tried - 1]->Commit(outcome.error);
                outcome.keptCopy = run[tried - 1]->KeptCopy();
            } catch (...) {
                outcome.thrown = std::current_exception();
            }
            // What follows a failure waits for the run to decide.
            failed = outcome.thrown || outcome.result != Replacement::Result::Placed;
        }
        lock.lock();
        m_busy = false;
        if (failed) m_halted = true;
        for (size_t i = 0; i < tried; ++i) m_outcomes.push_back(std::move(outcomes[i]));  // has its room
        m_settled.notify_all();
    }
}

bool ReplaceBatch::Flush(Replacement* const* run, size_t count, Outcome* outcomes, size_t& told) {
    try {
        FileError error;
        if (FlushTogether(m_fs, run, count, error)) return true;
        for (size_t i = 0; i < count; ++i) {
            outcomes[i].result = Replacement::Result::WriteFailed;
            outcomes[i].error = error;
        }
        told = count;
    } catch (...) {
        outcomes[0].thrown = std::current_exception();
        told = 1;
    }
    return false;
}

void ReplaceBatch::Settle(std::unique_lock<std::mutex>& lock) {
    m_settling = true;
    if (m_sleeping) m_wake.notify_one();
    m_settled.wait(lock, [this] {
        return !m_busy && (m_halted || !m_thread.joinable() || m_outcomes.size() == Ready());
    });
    m_settling = false;
}

void ReplaceBatch::Abandon() {
    std::vector<std::unique_ptr<Replacement>> pending;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_halted = true;
        m_stop = true;
        m_settled.wait(lock, [this] { return !m_busy; });
        pending.swap(m_pending);
        m_outcomes.clear();
        m_sealed = m_lastBatch = 0;
        m_halted = false;
        m_stop = false;
    }
    m_ids.clear();
    m_bytes = 0;
    // Their temporary files go with them.
}

bool ReplaceBatch::CommitFinished(const Placed& placed, const std::function<bool(const Failure&)>& failed) {
    std::vector<std::unique_ptr<Replacement>> done;
    std::vector<Outcome> outcomes;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_durable || !m_thread.joinable()) {
            lock.unlock();
            return Commit(placed, failed);
        }
        m_settled.wait(lock, [this] { return m_halted || m_outcomes.size() >= m_lastBatch; });
        if (m_halted) {
            lock.unlock();
            return Commit(placed, failed);
        }
        // Every one the thread has tried is in place: it stops at a failure.
        const size_t count = m_outcomes.size();
        done.reserve(count);  // before anything is taken
        outcomes.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            done.push_back(std::move(m_pending[i]));
            outcomes.push_back(std::move(m_outcomes[i]));
        }
        m_pending.erase(m_pending.begin(), m_pending.begin() + count);
        m_outcomes.clear();
        m_sealed -= count;
        m_lastBatch = 0;
    }
    m_ids.erase(m_ids.begin(), m_ids.begin() + done.size());
    for (size_t i = 0; i < done.size(); ++i) {
        done[i].reset();  // its read is let go
        placed(i, outcomes[i].error);
    }
    return true;
}

bool ReplaceBatch::Commit(const Placed& placed,
                          const std::function<bool(const Failure&)>& failed) {
    std::vector<std::unique_ptr<Replacement>> pending;
    std::vector<Outcome> outcomes;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        Settle(lock);
        pending.swap(m_pending);
        outcomes.swap(m_outcomes);
        m_sealed = m_lastBatch = 0;
        m_halted = false;
    }
    m_ids.clear();
    m_bytes = 0;
    bool ok = true;
    for (size_t i = 0; i < pending.size(); ++i) {
        // Those the thread has tried are told as it left them; the rest, the
        // batch not yet full or what a run that goes on after the thread's
        // failure puts in place, are flushed and put in place here.
        Outcome outcome;
        if (i < outcomes.size()) {
            outcome = std::move(outcomes[i]);
            if (outcome.thrown) std::rethrow_exception(outcome.thrown);
        } else {
            if (i == outcomes.size() && m_durable) {
                std::vector<Replacement*> rest;
                for (size_t j = i; j < pending.size(); ++j) rest.push_back(pending[j].get());
                FileError error;
                if (!FlushTogether(m_fs, rest.data(), rest.size(), error)) {
                    for (size_t j = i; j < pending.size(); ++j)
                        if (!failed(Failure{j, Replacement::Result::WriteFailed, error, CString()})) break;
                    return false;
                }
            }
            outcome.result = pending[i]->Commit(outcome.error);
            outcome.keptCopy = pending[i]->KeptCopy();
        }
        pending[i].reset();  // its read is let go
        if (outcome.result != Replacement::Result::Placed) {
            ok = false;
            if (!failed(Failure{i, outcome.result, outcome.error, outcome.keptCopy})) return false;
            continue;
        }
        placed(i, outcome.error);
    }
    return ok;
}
