#include "RecordSorter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "../platform/CFileFind.h"
#include "../platform/CStdioFile.h"
#include "../platform/PathMatch.h"
#include "LineStore.h"
#include "RecordText.h"

const char kCompleteMessage[] = "Complete!";
const char kCannotOpenMessage[] = "Cannot open file:\r\n";
const char kBadFileMessage[] = "Error detected within file:\r\n";
const char kCannotWriteMessage[] = "Cannot write file:\r\n";
const char kUnnamableReason[] = "the name has characters outside the code page";

namespace {
const char kRecordSuffix[] = ".dbr";
const char kDirectorySuffix[] = {kPathSeparator, '*', '.', '*', '\0'};
}  // namespace

void CRecordSorter::Run(const CString& entry) {
    WalkPattern(entry);
    // A stop is asked for by someone who wants the program to end.
    if (m_sink.StopRequested()) return;
    m_sink.ShowMessage(kCompleteMessage, MessageKind::Complete);
}

void CRecordSorter::RunUnnamable(const CString& entry) {
    FileError error;
    error.reason = kUnnamableReason;
    Report(kCannotOpenMessage, entry, error);
    m_sink.ShowMessage(kCompleteMessage, MessageKind::Complete);
}

BOOL CRecordSorter::WalkPattern(CString pattern) {
    m_walked.clear();
    m_walking = true;
    BOOL ok;
    try {
        ok = WalkSearch(pattern, pattern, true);
    } catch (const std::bad_alloc&) {
        // Out of memory: the files that are finished are put in place all
        // the same (what the failing one held has been given back by now).
        m_walking = false;
        try {
            CommitPending();
        } catch (const CFileException& e) {
            ReportFileException(m_sink, e);
        } catch (...) {
            m_batch.Abandon();
            m_done.clear();
        }
        ReportLeftovers();
        throw;
    } catch (...) {
        m_walking = false;
        m_batch.Abandon();
        m_done.clear();
        ReportLeftovers();
        throw;
    }
    m_walking = false;
    return CommitPending() && ok;
}

BOOL CRecordSorter::WalkSearch(const CString& pattern, const CString& name, bool entry) {
    const std::string& text = pattern.str();
    std::string last;  // of the entry's name; a directory's search needs none
    if (entry) last = text.substr(text.find_last_of(kPathSeparator == '\\' ? "\\/" : "/") + 1);
    bool wildcard = entry && HasWildcards(last);
    // A literal entry with wildcard characters is found by its exact name
    // among all of its directory's names.
    bool literal = wildcard && m_literal;
    CFileFind finder(m_fs);
    if (!finder.FindFile(literal ? CString(text.substr(0, text.size() - last.size()) + "*") : pattern)) {
        // Nothing there is no failure. A search that failed is: whatever it
        // would have found would stay unsorted without a word.
        if (finder.SearchError().code == 0) return TRUE;
        return Fail(kCannotOpenMessage, name, finder.SearchError());
    }
    // The directory that a wildcard entry lists is walked by that listing:
    // a link below it that leads back to it is passed over.
    if (wildcard && !literal) {
        FileFacts facts;
        FileError ignored;
        if (m_fs.Identify(finder.GetRoot(), facts, ignored) && facts.id.known) m_walked.insert(facts.id);
    }
    BOOL more;
    do {
        more = finder.FindNextFile();
        if (finder.IsDots() || (literal && finder.GetFileName().str() != last)) continue;
        // Between two files: what came before is finished and waits in the
        // batch, which WalkPattern puts in place on the way out.
        if (m_sink.StopRequested()) return FALSE;
        CString path = finder.GetFilePath();
        if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY)) {
            if (!WalkDirectory(path)) return FALSE;
        } else {
            CString suffix = path.Right(4);
            suffix.MakeLower();
            if (suffix != kRecordSuffix)
                ReportFoundLeftover(finder);
            else if (!SortRecordFile(path))
                return FALSE;
        }
    } while (more);
    finder.Close();
    // A listing that broke off leaves the rest of the directory unknown.
    if (finder.SearchError().code != 0) return Fail(kCannotOpenMessage, name, finder.SearchError());
    return TRUE;
}

BOOL CRecordSorter::WalkDirectory(const CString& path) {
    // A directory reached again, through a link or a link back up the tree,
    // has been handled already: it is passed over. Without its identity it
    // is walked all the same.
    FileFacts facts;
    FileError ignored;
    if (m_fs.Identify(path, facts, ignored) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) && facts.id.known &&
        !m_walked.insert(facts.id).second)
        return TRUE;
    return WalkSearch(path + kDirectorySuffix, path, false);
}

void CRecordSorter::ReportLeftovers() {
    for (const Leftover& leftover : Replacement::TakeLeftovers()) m_sink.FileLeft(leftover);
}

void CRecordSorter::ReportFoundLeftover(const CFileFind& finder) {
    OwnFileName own;
    const CString name = finder.GetFileName();
    if (!ParseOwnFileName(name.str(), own) || m_fs.ProcessRunning(own.pid)) return;
    Leftover found;
    found.path = finder.GetFilePath();
    found.kind = own.kind;
    found.interrupted = true;
    const std::string& path = found.path.str();
    // A name cut to fit is as long as the system allows, alone or with its
    // directory.
    found.recordNameCut = name.GetLength() >= static_cast<int>(kMaxNameLength) || path.size() >= kMaxPathLength - 1;
    found.record = CString(path.substr(0, path.size() - name.str().size()) + own.stem);
    FileFacts facts;
    FileError ignored;
    found.recordMissing = !found.recordNameCut && !m_fs.Identify(found.record, facts, ignored);
    m_sink.FileLeft(found);
}

void CRecordSorter::Report(const char* words, const CString& path, const FileError& error) {
    // Files of ours left on the way come first: the failure ends the run.
    ReportLeftovers();
    FailureKind kind = words == kBadFileMessage     ? FailureKind::Bad
                       : words == kCannotOpenMessage ? FailureKind::CannotOpen
                                                     : FailureKind::CannotWrite;
    m_sink.Failing(kind, path, error);
    m_sink.ShowMessage(CString(words) + path, MessageKind::Failure);
}

void ReportFileException(IMessageSink& sink, const CFileException& e) {
    FileError error;
    error.code = e.m_lOsError;
    error.reason = e.m_strReason;
    sink.Failing(e.m_cause == CFileException::readError ? FailureKind::ReadError : FailureKind::WriteError,
                 e.m_strFileName, error);
    sink.ShowMessage(e.GetErrorMessage(), MessageKind::Failure);
}

int CRecordSorter::CompareLines(const char* a, size_t aLength, const char* b, size_t bLength) {
    size_t n = aLength < bLength ? aLength : bLength;
    int r = n ? std::memcmp(a, b, n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    if (aLength == bLength) return 0;
    return aLength < bLength ? -1 : 1;
}

int CRecordSorter::CompareLines(const void* a, const void* b) {
    const std::string& x = static_cast<const CString*>(a)->str();
    const std::string& y = static_cast<const CString*>(b)->str();
    return CompareLines(x.data(), x.size(), y.data(), y.size());
}

BOOL CRecordSorter::Fail(const char* words, const CString& path, const FileError& error) {
    // What came before the failure is in place before it is reported.
    if (!CommitPending()) return FALSE;
    Report(words, path, error);
    return GoesOn();
}

BOOL CRecordSorter::SortRecordFile(CString path) {
    BOOL ok;
    try {
        ok = SortOrCheck(path);
    } catch (const CFileException& e) {
        // The files before this one are put in place (or the first of them
        // that cannot be is reported) before its error.
        if (!CommitPending()) return FALSE;
        // A check, or a run that keeps going, goes on after an I/O error too.
        if (!GoesOn()) throw;
        ReportFileException(m_sink, e);
        return TRUE;
    }
    // On its own, a file is put in place at once; in a walk, with its batch.
    if (m_mode == SortMode::Check) return TRUE;
    return ok && !m_walking ? CommitPending() : ok;
}

BOOL CRecordSorter::SortOrCheck(const CString& path) {
    CStdioFile file(m_fs);
    FileError error;
    // A file met again (through a link, or by a second name) while its new
    // content waits in the batch is read once that content is in place, as
    // it would be without the batch. Where the batch's own hold on the file
    // keeps it from being opened again (Windows shares nothing), the file is
    // known by what its name leads to.
    bool opened = file.Open(path, CFile::modeRead | CFile::typeText, &error);
    if (!opened || m_batch.Holds(file.ReadFacts().id)) {
        FileFacts facts;
        FileError ignored;
        if (opened)
            file.Close();
        else if (m_batch.Empty() || !m_fs.Identify(path, facts, ignored) || !m_batch.Holds(facts.id))
            return Fail(kCannotOpenMessage, path, error);
        if (!CommitPending()) return FALSE;
        if (!file.Open(path, CFile::modeRead | CFile::typeText, &error)) return Fail(kCannotOpenMessage, path, error);
    }
    // A UTF-8 byte-order mark belongs to the file, not to its first line: it
    // is written back at the start.
    BOOL byteOrderMark = file.SkipByteOrderMark();

    // The record lines are copied out of the read buffer into a few large
    // blocks rather than one allocation each, which the store keeps in order.
    // While reading, the file is followed against its normal form: the bytes
    // are the same as long as no line is dropped, the template line is the
    // only one and first, the record lines come in order and every line
    // ends with CR LF (the mark is settled below).
    LineStore store;
    CString templateLine;
    std::string_view line;
    const char* firstRecord = nullptr;
    const char* lastRecord = nullptr;
    bool inOrder = true;
    bool normal = true;
    while (file.ReadLine(line)) {
        size_t comma = 0;
        LineKind kind = ClassifyLine(line, comma);
        if (IsBadLine(kind)) {
            file.Close();
            return Fail(kBadFileMessage, path);
        }
        if (kind == LineKind::Blank || kind == LineKind::EmptyValue) {
            normal = false;
            continue;
        }
        if (kind == LineKind::Template) {
            if (lastRecord || !templateLine.IsEmpty()) normal = false;
            templateLine.str().assign(line.data(), line.size());
        } else {
            const char* entry = store.Add(line);
            if (!lastRecord) {
                firstRecord = entry;
            } else if (inOrder) {
                std::string_view previous = LineStore::View(lastRecord);
                inOrder = CompareLines(previous.data(), previous.size(), line.data(), line.size()) <= 0;
            }
            lastRecord = entry;
        }
    }
    // Text after a Ctrl-Z would be lost by a rewrite: such a file is bad.
    if (file.HasDataAfterEndMark()) {
        file.Close();
        return Fail(kBadFileMessage, path);
    }
    // A record line that begins with the mark's bytes and is written first
    // would be taken for a mark on the next read and lose them (and its
    // place): the file then starts with a mark of its own.
    auto needsOwnMark = [&](const char* first) {
        return templateLine.IsEmpty() && first && !byteOrderMark &&
               LineStore::View(first).substr(0, 3) == "\xEF\xBB\xBF";
    };
    // The lines are those of the normal form, in its order: only the line
    // breaks may differ.
    bool sameLines = normal && inOrder && !needsOwnMark(firstRecord);
    normal = sameLines && file.LinesEndedByCrLf();
    if (sameLines && !normal && !file.MetEndMark()) m_sink.LineEndsDiffer(path);

    // Whether the file is in normal form is known without sorting it.
    if (m_mode == SortMode::Check || (normal && m_mode == SortMode::ChangedOnly)) {
        // Let go of it first: the sink may read it again to show more.
        file.Close();
        m_sink.RecordFileDone(path, !normal);
        return TRUE;
    }

    // The array of exactly as many elements as there are record lines;
    // lines that came in order are written as the store holds them.
    std::vector<SortKey> sorted;
    if (!inOrder) {
        sorted.reserve(store.Count());
        store.ForEach([&sorted](const char* entry) { sorted.push_back(MakeSortKey(entry)); });
        std::sort(sorted.begin(), sorted.end(), SortsBefore());
        firstRecord = sorted.front().entry;
    }
    if (needsOwnMark(firstRecord)) byteOrderMark = TRUE;

    // The attributes step (SetFileAttributesA to FILE_ATTRIBUTE_NORMAL) comes
    // with the commit, just before the new content is put in place.
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::typeText, &error))
        return Fail(kCannotWriteMessage, path, error);
    if (byteOrderMark) file.WriteString("\xEF\xBB\xBF");
    if (!templateLine.IsEmpty()) {
        file.WriteLine(templateLine.str());
    }
    if (inOrder) {
        store.ForEach([&file](const char* entry) { file.WriteLine(LineStore::View(entry)); });
    } else {
        // In sorted order the lines lie all over the store: ask for each one
        // a few lines ahead, so that it is in the cache by the time it is
        // written.
        const size_t kAhead = 8;
        for (size_t i = 0; i < sorted.size(); ++i) {
            if (i + kAhead < sorted.size()) __builtin_prefetch(sorted[i + kAhead].entry);
            file.WriteLine(LineStore::View(sorted[i].entry));
        }
    }
    // Put in place with the rest of its batch; reported once it is.
    m_done.push_back(Done{path, !normal});
    bool full;
    try {
        full = m_batch.Add(file.Detach());
    } catch (...) {
        m_done.pop_back();  // not taken
        throw;
    }
    return full ? CommitPending(false) : TRUE;
}

BOOL CRecordSorter::CommitPending(bool all) {
    // m_done's last ones are those still waiting in the batch.
    const std::vector<Done>& done = m_done;
    auto told = [this] { m_done.erase(m_done.begin(), m_done.end() - m_batch.Count()); };
    auto placed = [&](size_t i, const FileError& error) {
        // The old content that the replace put aside and could not remove.
        if (!error.oldCopy.IsEmpty())
            m_sink.FileLeft(Leftover{error.oldCopy, done[i].path, LeftoverKind::OldContent, error});
        m_sink.RecordFileDone(done[i].path, done[i].changed);
    };
    // Each failure is reported as it comes; the rest of the batch is given
    // up unless the run keeps going.
    auto failed = [&](const ReplaceBatch::Failure& failure) {
        const CString& path = done[failure.index].path;
        CFileException e(CFileException::writeError, path, failure.error.code, failure.error.reason);
        if (failure.result == Replacement::Result::WriteFailed) {
            if (!m_keepGoing) throw e;
            ReportFileException(m_sink, e);
        } else {
            if (!failure.keptCopy.IsEmpty()) m_sink.CopyKept(path, failure.keptCopy);
            Report(kCannotWriteMessage, path, failure.error);
        }
        return m_keepGoing;
    };
    BOOL ok;
    try {
        ok = (all ? m_batch.Commit(placed, failed) : m_batch.CommitFinished(placed, failed)) || m_keepGoing;
    } catch (...) {
        told();
        throw;
    }
    told();
    ReportLeftovers();
    return ok;
}
