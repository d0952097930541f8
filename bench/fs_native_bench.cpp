// The disk file systems under load through the native API (Nt* services,
// the I/O manager, the NTFS front end, the engine): create-write-close,
// open-read-close, directory listing and rename, each reported per operation.
//
// Each figure also carries its ratio to the same work done directly on the
// engine (no IRPs), measured in the same run: "vs_engine" is the cost of the
// I/O path around the file system's own work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/kernel.h"
#include "fs/engine/volume.h"
#include "fs/fs.h"
#include "fs/win32_paths.h"
#include "storage/storage.h"

namespace {

using plat::native::File;
namespace fs = plat::fs;

constexpr int kFilesForReading = 1000;
constexpr ULONG kPayload = 512;

std::u16string Number(unsigned value) {
    std::u16string text;
    do {
        text.insert(text.begin(), char16_t(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return text;
}

NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options, File* file) {
    plat::native::OpenOptions o;
    o.Access = access;
    o.Disposition = disposition;
    o.Options = options | FILE_SYNCHRONOUS_IO_NONALERT;
    return File::Open(path, o, file);
}

// ---- Engine baselines: the same work without the I/O path ---------------------------

struct EngineBench {
    std::unique_ptr<fs::Volume> Volume;
    EngineBench() {
        fs::FormatParams params;
        params.SizeBytes = 4ull << 30;
        Volume = fs::Volume::Format(params, [] { return 133000000000000000ll; });
    }
    fs::OpenFile* Open(const std::u16string& path, uint32_t disposition, uint32_t options = 0) {
        fs::CreateRequest r;
        r.Path = path;
        r.Disposition = disposition;
        r.Options = options;
        r.DesiredAccess = fs::kFileGenericRead | fs::kFileGenericWrite | fs::kDelete;
        r.ShareAccess = fs::kShareRead | fs::kShareWrite | fs::kShareDelete;
        return Volume->Create(r).Open;
    }
    void Close(fs::OpenFile* f) {
        Volume->Cleanup(f, false, f, 1);
        Volume->Close(f);
    }
};

// Wall time of a benchmark loop, per operation.
class LoopTimer {
public:
    LoopTimer() : m_Start(std::chrono::steady_clock::now()) {}
    double NanosecondsPer(double operations) const {
        auto elapsed = std::chrono::steady_clock::now() - m_Start;
        return std::chrono::duration<double, std::nano>(elapsed).count() / operations;
    }

private:
    std::chrono::steady_clock::time_point m_Start;
};

template <typename Work>
double NanosecondsPerOperation(int operations, Work work) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < operations; ++i) work(i);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / operations;
}

// The best of three runs: the machine may be shared.
template <typename Measure>
double BestOfThree(Measure measure) {
    double best = measure();
    for (int i = 0; i < 2; ++i) best = std::min(best, measure());
    return best;
}

double EngineCreateWriteCloseOnce() {
    EngineBench e;
    e.Close(e.Open(u"\\cwc", fs::kCreate, fs::kOptDirectoryFile));
    std::vector<uint8_t> data(kPayload, 'x');
    return NanosecondsPerOperation(5000, [&](int i) {
        fs::OpenFile* f = e.Open(u"\\cwc\\f" + Number(i), fs::kCreate);
        size_t done = 0;
        fs::ChangeEvents events;
        e.Volume->Write(f, 0, data.data(), data.size(), false, fs::LockOwner{f, 1, 0}, &done, &events);
        e.Close(f);
    });
}

double EngineOpenReadCloseOnce() {
    EngineBench e;
    e.Close(e.Open(u"\\orc", fs::kCreate, fs::kOptDirectoryFile));
    std::vector<uint8_t> data(kPayload, 'x');
    for (int i = 0; i < kFilesForReading; ++i) {
        fs::OpenFile* f = e.Open(u"\\orc\\f" + Number(i), fs::kCreate);
        size_t done = 0;
        fs::ChangeEvents events;
        e.Volume->Write(f, 0, data.data(), data.size(), false, fs::LockOwner{f, 1, 0}, &done, &events);
        e.Close(f);
    }
    return NanosecondsPerOperation(20000, [&](int i) {
        fs::OpenFile* f = e.Open(u"\\orc\\f" + Number(i % kFilesForReading), fs::kOpen);
        size_t done = 0;
        e.Volume->Read(f, 0, data.data(), data.size(), fs::LockOwner{f, 1, 0}, &done);
        e.Close(f);
    });
}

// ---- Through the native API --------------------------------------------------------

void BM_CreateWriteClose(benchmark::State& state) {
    static double baseline = BestOfThree(EngineCreateWriteCloseOnce);
    static unsigned serial = 0;
    File dir;
    Open(u"C:\\cwc", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &dir);
    std::string payload(kPayload, 'x');
    LoopTimer timer;
    for (auto _ : state) {
        File f;
        if (!NT_SUCCESS(Open(u"C:\\cwc\\f" + Number(serial++), GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE, &f)) ||
            !NT_SUCCESS(f.Write(0, payload))) {
            state.SkipWithError("create or write failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
    double perOperation = timer.NanosecondsPer(double(state.iterations()));
    state.counters["ns_per_op"] = perOperation;
    state.counters["vs_engine"] = perOperation / baseline;
}

void BM_OpenReadClose(benchmark::State& state) {
    static double baseline = BestOfThree(EngineOpenReadCloseOnce);
    File dir;
    Open(u"C:\\orc", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &dir);
    std::string payload(kPayload, 'x');
    for (int i = 0; i < kFilesForReading; ++i) {
        plat::native::WriteFile(u"C:\\orc\\f" + Number(i), payload, FILE_OVERWRITE_IF);
    }
    unsigned i = 0;
    std::vector<uint8_t> data;
    LoopTimer timer;
    for (auto _ : state) {
        File f;
        if (!NT_SUCCESS(Open(u"C:\\orc\\f" + Number(i++ % kFilesForReading), GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE, &f)) ||
            !NT_SUCCESS(f.Read(0, kPayload, &data))) {
            state.SkipWithError("open or read failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
    double perOperation = timer.NanosecondsPer(double(state.iterations()));
    state.counters["ns_per_op"] = perOperation;
    state.counters["vs_engine"] = perOperation / baseline;
}

// Lists a directory of N entries per iteration; reported per entry.
void BM_ListDirectory(benchmark::State& state) {
    const int entries = int(state.range(0));
    std::u16string dirName = u"C:\\list" + Number(unsigned(entries));
    File dir;
    Open(dirName, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &dir);
    for (int i = 0; i < entries; ++i) plat::native::WriteFile(dirName + u"\\entry " + Number(i) + u".dat", "");
    LoopTimer timer;
    for (auto _ : state) {
        std::vector<plat::native::DirectoryEntry> batch;
        size_t count = 0;
        for (bool restart = true;; restart = false) {
            NTSTATUS status = dir.QueryDirectory(&batch, nullptr, restart, false, 64 * 1024);
            if (status == STATUS_NO_MORE_FILES) break;
            if (!NT_SUCCESS(status)) {
                state.SkipWithError("listing failed");
                return;
            }
            count += batch.size();
        }
        if (count != size_t(entries) + 2) {
            state.SkipWithError("listing incomplete");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * entries);
    state.counters["ns_per_entry"] = timer.NanosecondsPer(double(state.iterations()) * entries);
}

// Renames one file back and forth between two directories.
void BM_Rename(benchmark::State& state) {
    plat::native::CreateDirectory(u"C:\\ren-a");
    plat::native::CreateDirectory(u"C:\\ren-b");
    plat::native::DeletePath(u"C:\\ren-b\\moved.txt");  // left by an earlier run
    plat::native::WriteFile(u"C:\\ren-a\\moving.txt", "m");
    File f;
    if (!NT_SUCCESS(Open(u"C:\\ren-a\\moving.txt", DELETE | SYNCHRONIZE, FILE_OPEN, 0, &f))) {
        state.SkipWithError("open failed");
        return;
    }
    bool inA = true;
    LoopTimer timer;
    for (auto _ : state) {
        NTSTATUS status = f.Rename(inA ? u"C:\\ren-b\\moved.txt" : u"C:\\ren-a\\moving.txt", false);
        if (!NT_SUCCESS(status)) {
            state.SkipWithError(("rename failed: " + std::to_string(unsigned(status))).c_str());
            return;
        }
        inA = !inA;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_op"] = timer.NanosecondsPer(double(state.iterations()));
}

BENCHMARK(BM_CreateWriteClose)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenReadClose)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListDirectory)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rename)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    plat::KernelCreate();
    NTSTATUS status = plat::fs::LoadFileSystems();
    plat::storage::DiskConfig config;
    config.SizeBytes = 4ull << 30;
    std::shared_ptr<plat::storage::Disk> disk = plat::storage::Disk::Create(config);
    if (NT_SUCCESS(status)) status = plat::storage::Attach(disk, L'C');
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "cannot set up the volume: %08x\n", unsigned(status));
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::vector<std::string> findings = plat::KernelDestroy();
    for (const std::string& finding : findings) fprintf(stderr, "verifier: %s\n", finding.c_str());
    return findings.empty() ? 0 : 1;
}
