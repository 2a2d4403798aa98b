#include "ReplaceBatch.h"

#include "Interrupts.h"

static_assert(ReplaceBatch::kMaxFiles < Interrupts::kMaxRegistered, "every file of a batch is registered");

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
    m_pending.push_back(std::move(replacement));
    m_bytes += size;
    return !m_durable || m_pending.size() >= m_maxFiles || m_bytes >= kMaxBytes;
}

bool ReplaceBatch::Holds(const FileId& id) const {
    for (const auto& r : m_pending)
        if (r->Facts().id == id) return true;
    return false;
}

bool ReplaceBatch::Commit(const Placed& placed,
                          const std::function<bool(const Failure&)>& failed) {
    std::vector<std::unique_ptr<Replacement>> pending;
    pending.swap(m_pending);
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
        FileError error;
        Replacement::Result result = pending[i]->Commit(error);
        if (result != Replacement::Result::Placed) {
            ok = false;
            Failure failure{i, result, error, pending[i]->KeptCopy()};
            pending[i].reset();
            if (!failed(failure)) return false;
            continue;
        }
        pending[i].reset();  // its read is let go
        placed(i, error);
    }
    return ok;
}
