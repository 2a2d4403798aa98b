// New content for several files, put on the disk with one flush and then put
// in place in the order it came: the cost of a flush is paid once per batch
// rather than once per file. A thread of the batch's own does that work
// while the run goes on to read and sort the next files: with durability, it
// flushes each full batch and puts it in place while the next one fills;
// without, it puts every replacement in place soon after it comes. What
// became of each is told, in order, by Commit and CommitFinished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Replacement.h"

class ReplaceBatch {
public:
    // Bounds of one batch: files held open and bytes not yet on the disk.
    // A file waiting in a batch holds two open files (its read and its new
    // content), and two batches may wait at once (one being flushed, one
    // filling); the bound on files is lowered to what the process may open,
    // less what the walk and the files around a batch need.
    static constexpr size_t kMaxFiles = 64;
    static constexpr uint64_t kMaxBytes = 64ull << 20;
    static constexpr size_t kOpenFilesPerFile = 2;
    static constexpr size_t kOpenFilesForTheRest = 16;
    // Without durability, the thread is woken once this many wait.
    static constexpr size_t kWakeAfter = 8;

    // Without a thread where the file system's calls may not come from two
    // threads at once: each batch is then flushed and put in place when it
    // is full, and without durability each replacement as it comes.
    explicit ReplaceBatch(FileSystem& fs) : m_fs(fs) { m_noThread = !fs.Concurrent(); }
    // Lets the thread finish the file it is putting in place; what waits
    // behind it is given up.
    ~ReplaceBatch();
    ReplaceBatch(const ReplaceBatch&) = delete;
    ReplaceBatch& operator=(const ReplaceBatch&) = delete;
    // Only while the batch is empty.
    void SetDurable(bool durable) {
        m_durable = durable;
        m_maxFiles = 0;
    }
    bool Durable() const { return m_durable; }

    // Takes a finished replacement; true when the batch should now be
    // committed, by CommitFinished. Throws only before it takes it.
    bool Add(std::unique_ptr<Replacement> replacement);
    bool Empty() const;
    // How many wait here, not yet told: the last ones added.
    size_t Count() const;
    // A replacement of the file with this identity is waiting here.
    bool Holds(const FileId& id) const;

    struct Failure {
        size_t index = 0;  // in the order of Add
        Replacement::Result result = Replacement::Result::Placed;
        FileError error;
        CString keptCopy;
    };
    // Flushes the batch (when durable) and commits each replacement in
    // order, calling placed with its index once it is in place (and the copy
    // of its old content that the replace could not remove, if any), and failed
    // with each one that fails (every one, when the flush fails). Stops when
    // failed returns false; those after it are given up (their files keep
    // their content). The batch is empty afterwards; false after a failure.
    using Placed = std::function<void(size_t, const FileError& error)>;
    bool Commit(const Placed& placed, const std::function<bool(const Failure&)>& failed);
    // What Add asked for: with durability, tells those of the batches before
    // the one just full (the thread flushes that one meanwhile), once the
    // thread has put them in place; indexes count from the first not yet
    // told. After a failure, and without durability, the same as Commit.
    bool CommitFinished(const Placed& placed, const std::function<bool(const Failure&)>& failed);
    // The same, stopping at the first failure, which failure describes.
    bool Commit(const Placed& placed, Failure& failure) {
        return Commit(placed, [&failure](const Failure& f) {
            failure = f;
            return false;
        });
    }
    // Gives up every replacement not yet put in place (without durability,
    // those that the thread has put in place stay there, untold).
    void Abandon();

private:
    // What the thread made of one replacement.
    struct Outcome {
        Replacement::Result result = Replacement::Result::Placed;
        FileError error;
        CString keptCopy;
        std::exception_ptr thrown;
    };
    void PutInPlace();
    // The thread's flush of the count files of run; false, with an outcome
    // for each file told, when it fails.
    bool Flush(Replacement* const* run, size_t count, Outcome* outcomes, size_t& told);
    // How many the thread may take: with durability only full batches.
    size_t Ready() const { return m_durable ? m_sealed : m_pending.size(); }
    // Waits until the thread has stopped: at the end of what it was given,
    // or at a failure. Takes what it did.
    void Settle(std::unique_lock<std::mutex>& lock);

    FileSystem& m_fs;
    bool m_durable = true;
    uint64_t m_bytes = 0;  // since the last full batch
    size_t m_maxFiles = 0;  // 0 until the first file comes
    // Shared with the thread, under m_lock: the replacements, of which the
    // first m_outcomes.size() have been tried by it.
    mutable std::mutex m_lock;
    std::condition_variable m_wake, m_settled;
    std::vector<std::unique_ptr<Replacement>> m_pending;
    std::vector<Outcome> m_outcomes;
    std::vector<FileId> m_ids;  // of m_pending's files; the run's own
    size_t m_sealed = 0;        // with durability: m_pending's full batches, for the thread
    size_t m_lastBatch = 0;     // where the last of them begins
    bool m_busy = false;     // the thread is at work on one
    bool m_halted = false;   // it stopped at a failure, or for Abandon
    bool m_quit = false;
    bool m_sleeping = false;  // the thread waits to be woken
    bool m_settling = false;  // the run waits for all of it
    std::atomic<bool> m_stop{false};  // Abandon or the end: no more commits
    bool m_noThread = false;  // none is to be, or could be, started
    std::thread m_thread;
};
