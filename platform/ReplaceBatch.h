// New content for several files, put on the disk with one flush and then put
// in place in the order it came: the cost of a flush is paid once per batch
// rather than once per file. Without durability every replacement is put in
// place as soon as it comes.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "Replacement.h"

class ReplaceBatch {
public:
    // Bounds of one batch: files held open and bytes not yet on the disk.
    // A file waiting in a batch holds two open files (its read and its new
    // content); the bound on files is lowered to what the process may open,
    // less what the walk and the files around a batch need.
    static constexpr size_t kMaxFiles = 64;
    static constexpr uint64_t kMaxBytes = 64ull << 20;
    static constexpr size_t kOpenFilesPerFile = 2;
    static constexpr size_t kOpenFilesForTheRest = 16;

    explicit ReplaceBatch(FileSystem& fs) : m_fs(fs) {}
    void SetDurable(bool durable) { m_durable = durable; }
    bool Durable() const { return m_durable; }

    // Takes a finished replacement; true when the batch should now be
    // committed.
    bool Add(std::unique_ptr<Replacement> replacement);
    bool Empty() const { return m_pending.empty(); }
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
    // The same, stopping at the first failure, which failure describes.
    bool Commit(const Placed& placed, Failure& failure) {
        return Commit(placed, [&failure](const Failure& f) {
            failure = f;
            return false;
        });
    }
    // Gives up every replacement.
    void Abandon() { m_pending.clear(); }

private:
    FileSystem& m_fs;
    bool m_durable = true;
    std::vector<std::unique_ptr<Replacement>> m_pending;
    uint64_t m_bytes = 0;
    size_t m_maxFiles = 0;  // 0 until the first file comes
};
