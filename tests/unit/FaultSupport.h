// Running a whole run and catching how it ended, for the fault tests.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "../../platform/CFileException.h"
#include "TestSupport.h"

struct RunOutcome {
    std::vector<std::string> messages;
    bool threw = false;  // an I/O error part-way left the run
    CFileException::Cause cause = CFileException::genericException;
    std::string thrownPath;
    long osError = 0;
    bool outOfMemory = false;  // std::bad_alloc left the run
};

inline RunOutcome RunCatching(FileSystem& fs, const std::string& entry, bool keepGoing = false, bool durable = true) {
    RunOutcome out;
    RecordingSink sink;
    CRecordSorter sorter(sink, fs);
    sorter.SetKeepGoing(keepGoing);
    sorter.SetDurable(durable);
    try {
        sorter.Run(CString(entry));
    } catch (const CFileException& e) {
        out.threw = true;
        out.cause = e.m_cause;
        out.thrownPath = e.m_strFileName.str();
        out.osError = e.m_lOsError;
    } catch (const std::bad_alloc&) {
        out.outOfMemory = true;
    }
    out.messages = sink.messages;
    return out;
}
