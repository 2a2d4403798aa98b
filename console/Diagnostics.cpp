#include "Diagnostics.h"

#include "../platform/Replacement.h"

bool ReadWholeFile(FileSystem& fs, const CString& path, std::string& bytes, FileError& error, FileFacts* facts) {
    std::unique_ptr<InputFile> in = fs.OpenRead(path, error);
    if (!in) return false;
    if (facts) *facts = in->Facts();
    bytes.clear();
    bytes.reserve(static_cast<size_t>(in->Facts().size) + (1 << 16));
    size_t got = 0;
    do {
        const size_t kStep = 1 << 16;
        size_t at = bytes.size();
        bytes.resize(at + kStep);
        if (!in->Read(&bytes[at], kStep, got, error)) return false;
        bytes.resize(at + got);
    } while (got > 0);
    return true;
}

std::string ReasonOf(const FileError& error, const char* fallback) {
    if (error.code == kChangedSinceRead) return "changed by another program since it was read";
    std::string reason = error.reason.str();
    // Windows ends its texts with a full stop and a line break.
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' ||
                               reason.back() == '.'))
        reason.pop_back();
    if (reason.empty()) return fallback;
    // "Permission denied" reads as "permission denied" after "error: ",
    // but an acronym keeps its capitals.
    if (reason.size() > 1 && reason[0] >= 'A' && reason[0] <= 'Z' && !(reason[1] >= 'A' && reason[1] <= 'Z'))
        reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
    return reason;
}

void PrintFaults(std::ostream& err, const std::string& path, const FaultList& faults) {
    for (const LineFault& f : faults.faults)
        err << path << ':' << f.line << ':' << f.column << ": error: " << f.reason << '\n';
    size_t more = faults.total - faults.faults.size();
    if (more > 0) err << path << ": note: " << more << " more bad line" << (more == 1 ? "" : "s") << '\n';
}

void PrintError(std::ostream& err, const std::string& path, const std::string& reason) {
    err << path << ": error: " << reason << '\n';
}

namespace {
// The escapes that GitHub documents for workflow commands: in the message
// '%', CR and LF; in a property also ':' and ','.
std::string Escaped(const std::string& text, bool property) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '%': escaped += "%25"; break;
        case '\r': escaped += "%0D"; break;
        case '\n': escaped += "%0A"; break;
        case ':': escaped += property ? "%3A" : ":"; break;
        case ',': escaped += property ? "%2C" : ","; break;
        default: escaped += c;
        }
    }
    return escaped;
}
}  // namespace

void AnnotateFaults(std::ostream& out, const std::string& path, const FaultList& faults) {
    for (const LineFault& f : faults.faults)
        out << "::error file=" << Escaped(path, true) << ",line=" << f.line << ",col=" << f.column
            << "::" << Escaped(f.reason, false) << '\n';
}

void AnnotateFile(std::ostream& out, const std::string& path, const std::string& text) {
    out << "::error file=" << Escaped(path, true) << "::" << Escaped(text, false) << '\n';
}
