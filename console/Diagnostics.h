// Where and why a record file failed, in the forms that editors, compilers'
// users and CI know: "PATH:LINE:COL: error: REASON" on standard error, and
// GitHub Actions workflow commands on standard output.
#pragma once

#include <ostream>
#include <string>

#include "../platform/FileSystem.h"
#include "../sorting/RecordText.h"

// Bad lines listed for one file; the rest are counted in a note.
constexpr size_t kFaultsListed = 20;

// The whole content of the file at path, and its facts at the open when
// asked for; false with the reason when it cannot be read.
bool ReadWholeFile(FileSystem& fs, const CString& path, std::string& bytes, FileError& error,
                   FileFacts* facts = nullptr);

// The system's reason as a diagnostic gives it ("permission denied"), or
// fallback when the system gave none.
std::string ReasonOf(const FileError& error, const char* fallback);

// "PATH:LINE:COL: error: REASON" for each listed fault, then
// "PATH: note: N more bad lines" when there are more.
void PrintFaults(std::ostream& err, const std::string& path, const FaultList& faults);
// "PATH: error: REASON".
void PrintError(std::ostream& err, const std::string& path, const std::string& reason);

// GitHub Actions workflow commands: "::error file=PATH,line=N,col=C::REASON"
// for each listed fault, "::error file=PATH::TEXT" for the file as a whole.
void AnnotateFaults(std::ostream& out, const std::string& path, const FaultList& faults);
void AnnotateFile(std::ostream& out, const std::string& path, const std::string& text);
