// Microbenchmarks of the line reader and the sorter over an in-memory file
// system: bytes per second for reading, record lines per second for sorting.
#include <benchmark/benchmark.h>

#include <string>

#include "CStdioFile.h"
#include "Corpus.h"
#include "../platform/MemoryFileSystem.h"
#include "RecordSorter.h"

namespace {

class NullSink : public IMessageSink {
public:
    void ShowMessage(const CString& text, MessageKind) override { last = text; }
    CString last;
};

void BM_ReadString(benchmark::State& state) {
    MemoryFileSystem fs(true);
    fs.Put("big.dbr", BigFileContent(static_cast<int>(state.range(0)), kDefaultCorpusSeed));
    size_t bytes = fs.Get("big.dbr").size();
    CString line;
    for (auto _ : state) {
        CStdioFile file(fs);
        if (!file.Open("big.dbr", CFile::modeRead | CFile::typeText)) state.SkipWithError("open");
        size_t lines = 0;
        while (file.ReadString(line)) ++lines;
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ReadString)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SortRecordFile(benchmark::State& state) {
    MemoryFileSystem fs(true);
    int lines = static_cast<int>(state.range(0));
    fs.Put("file.dbr", BigFileContent(lines, kDefaultCorpusSeed));
    NullSink sink;
    CRecordSorter sorter(sink, fs);
    for (auto _ : state) {
        if (!sorter.SortRecordFile("file.dbr")) state.SkipWithError(sink.last.GetString());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(fs.Get("file.dbr").size()));
}
BENCHMARK(BM_SortRecordFile)->Arg(200)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
