#include "ReplaceBatch.h"

#include <system_error>

#include "Interrupts.h"

static_assert(ReplaceBatch::kMaxFiles < Interrupts::kMaxRegistered, "every file of a batch is registered");

ReplaceBatch::~ReplaceBatch() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_quit = true;
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
    bool halted;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        halted = m_halted;
        // The thread's account of each has its room before it is needed.
        if (m_outcomes.capacity() <= m_pending.size()) m_outcomes.reserve(m_pending.size() + kMaxFiles);
        m_pending.push_back(std::move(replacement));
        count = m_pending.size();
    }
    m_bytes += size;
    if (!m_durable && !m_noThread) {
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread(&ReplaceBatch::PutInPlace, this);
            } catch (const std::system_error&) {
                m_noThread = true;
            }
        }
        m_wake.notify_one();
    }
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
    // Woken for a few at a time (waking it costs more than a file's rename),
    // it then goes on until none waits.
    bool draining = false;
    for (;;) {
        m_wake.wait(lock, [this, &draining] {
            size_t waiting = m_pending.size() - m_outcomes.size();
            if (waiting == 0) draining = false;
            return m_quit || (!m_halted && waiting > 0 && (draining || waiting >= kWakeAfter || m_settling));
        });
        if (m_quit) return;
        draining = true;
        Replacement& next = *m_pending[m_outcomes.size()];
        m_busy = true;
        lock.unlock();
        Outcome outcome;
        try {
            outcome.result = next.Commit(outcome.error);
            outcome.keptCopy = next.KeptCopy();
        } catch (...) {
            outcome.thrown = std::current_exception();
        }
        lock.lock();
        m_busy = false;
        // What follows a failure waits for the run to decide.
        if (outcome.thrown || outcome.result != Replacement::Result::Placed) m_halted = true;
        m_outcomes.push_back(std::move(outcome));  // has its room
        m_settled.notify_all();
    }
}

void ReplaceBatch::Settle(std::unique_lock<std::mutex>& lock) {
    m_settling = true;
    m_wake.notify_one();
    m_settled.wait(lock, [this] { return !m_busy && (m_halted || m_noThread || m_durable || !m_thread.joinable() ||
                                                    m_outcomes.size() == m_pending.size()); });
    m_settling = false;
}

void ReplaceBatch::Abandon() {
    std::vector<std::unique_ptr<Replacement>> pending;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_halted = true;
        m_settled.wait(lock, [this] { return !m_busy; });
        pending.swap(m_pending);
        m_outcomes.clear();
        m_halted = false;
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
