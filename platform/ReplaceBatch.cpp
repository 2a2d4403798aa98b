#include "ReplaceBatch.h"

#include "Interrupts.h"

static_assert(ReplaceBatch::kMaxFiles < Interrupts::kMaxRegistered, "every file of a batch is registered");

bool ReplaceBatch::Add(std::unique_ptr<Replacement> replacement) {
    m_bytes += replacement->Size();
    m_pending.push_back(std::move(replacement));
    return !m_durable || m_pending.size() >= kMaxFiles || m_bytes >= kMaxBytes;
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
        placed(i, error.oldCopy);
    }
    return ok;
}
