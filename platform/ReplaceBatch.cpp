#include "ReplaceBatch.h"

#include <algorithm>
#include <system_error>

#include "Interrupts.h"

static_assert(ReplaceBatch::kMaxFiles < Interrupts::kMaxRegistered, "every file of a batch is registered");

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
        size_t room = left > kOpenFilesForTheRest ? (left - kOpenFilesForTheRest) / kOpenFilesPerFile + 1 : 1;
        m_maxFiles = room < kMaxFiles ? room : kMaxFiles;
    }
    uint64_t size = replacement->Size();
    // Only a flush to come has use for the writeback started now.
    if (m_durable) replacement->StartWriteback();
    m_ids.push_back(replacement->Facts().id);
    size_t count;
    bool halted, wake;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        halted = m_halted;
        // The thread's account of each has its room before it is needed.
        if (m_outcomes.capacity() <= m_pending.size()) m_outcomes.reserve(m_pending.size() + kMaxFiles);
        m_pending.push_back(std::move(replacement));
        count = m_pending.size();
        wake = m_sleeping && count - m_outcomes.size() >= kWakeAfter;
    }
    m_bytes += size;
    if (!m_durable && !m_noThread && !m_thread.joinable()) {
        try {
            m_thread = std::thread(&ReplaceBatch::PutInPlace, this);
        } catch (const std::system_error&) {
            m_noThread = true;
        }
    }
    if (wake) m_wake.notify_one();
    // A failure on the thread is told before the run goes further.
    return halted || (!m_durable && m_noThread) || count >= m_maxFiles || m_bytes >= kMaxBytes;
}

bool ReplaceBatch::Empty() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pending.empty();
}

bool ReplaceBatch::Holds(const FileId& id) const {
    for (const FileId& held : m_ids)
        if (held == id) return true;
    return false;
}

void ReplaceBatch::PutInPlace() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        // Woken for a few at a time: a wake costs more than a file's rename.
        m_sleeping = true;
        m_wake.wait(lock, [this] {
            size_t waiting = m_pending.size() - m_outcomes.size();
            return m_quit || (!m_halted && waiting > 0 && (waiting >= kWakeAfter || m_settling));
        });
        m_sleeping = false;
        if (m_quit) return;
        // All that wait now, in one go: the lock is taken once for them.
        Replacement* run[kMaxFiles];
        Outcome outcomes[kMaxFiles];
        const size_t first = m_outcomes.size();
        size_t count = std::min(m_pending.size() - first, kMaxFiles);
        for (size_t i = 0; i < count; ++i) run[i] = m_pending[first + i].get();
        m_busy = true;
        lock.unlock();
        size_t tried = 0;
        bool failed = false;
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

void ReplaceBatch::Settle(std::unique_lock<std::mutex>& lock) {
    m_settling = true;
    if (m_sleeping) m_wake.notify_one();
    m_settled.wait(lock, [this] {
        return !m_busy && (m_halted || !m_thread.joinable() || m_outcomes.size() == m_pending.size());
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
        m_halted = false;
        m_stop = false;
    }
    m_ids.clear();
    m_bytes = 0;
    // Their temporary files go with them.
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
        m_halted = false;
    }
    m_ids.clear();
    m_bytes = 0;
    if (pending.empty()) return true;
    if (m_durable) {
        std::vector<OutputFile*> files;
        for (auto& r : pending) files.push_back(&r->Output());
        FileError error;
        if (!m_fs.FlushAll(files, error)) {
            // None of them is known to be on the disk: none is put in place.
            for (auto& r : pending) r->FlushFailed();
            for (size_t i = 0; i < pending.size(); ++i)
                if (!failed(Failure{i, Replacement::Result::WriteFailed, error, CString()})) break;
            return false;
        }
        for (auto& r : pending) r->Flushed();
    }
    bool ok = true;
    for (size_t i = 0; i < pending.size(); ++i) {
        // Those the thread has tried are told as it left them; after its
        // failure, a run that goes on puts the rest in place itself.
        Outcome outcome;
        if (i < outcomes.size()) {
            outcome = std::move(outcomes[i]);
            if (outcome.thrown) std::rethrow_exception(outcome.thrown);
        } else {
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
