// The change store under load: path lookups and path adds on stores tracking
// 1,000, 100,000 and 1,000,000 names spread over directory trees, and 100,000
// names in one directory; the store's memory per tracked name.
//
// Every figure is reported with its ratio to the same operation on the
// 1,000-name store, measured in the same run (in thread CPU time: the
// benchmark machine is shared). The 1,000,000-name store takes a
// few seconds and some 150 MB to build; skip it with
// --benchmark_filter=-.*/1000000 where that matters.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/path_buffer.h"
#include "core/kernel.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"

namespace {

PCWSTR W(const std::u16string& Text) { return reinterpret_cast<PCWSTR>(Text.c_str()); }

// ---- Name and tree generation --------------------------------------------------------

const char16_t* const kWords[] = {
    u"Program Files", u"Windows", u"System32", u"drivers", u"Microsoft", u"Common Files", u"Documents",
    u"Settings", u"Application Data", u"Temp", u"Cache", u"Fonts", u"Help", u"Resources", u"Setup",
    u"Update", u"Logs", u"Config", u"Data", u"Shared", u"Plugins", u"Modules", u"Assembly", u"Installer",
    u"Profiles", u"Desktop", u"Start Menu", u"Templates", u"Media", u"Web", u"Tools", u"Library",
};
const char16_t* const kStems[] = {u"kernel", u"user", u"gdi", u"shell", u"net", u"win", u"crypt", u"ole",
                                  u"comctl", u"msvc", u"advapi", u"setup", u"print", u"audio", u"video",
                                  u"input", u"storage", u"update", u"report", u"index", u"search", u"theme",
                                  u"locale", u"policy", u"service", u"driver", u"codec", u"font", u"zip"};
const char16_t* const kExtensions[] = {u".dll", u".exe", u".sys", u".txt", u".ini", u".dat", u".log",
                                       u".xml", u".manifest", u".mui", u".cat", u".inf", u".png", u".html"};

std::u16string Number(unsigned Value) {
    std::u16string text;
    do {
        text.insert(text.begin(), (char16_t)(u'0' + Value % 10));
        Value /= 10;
    } while (Value != 0);
    return text;
}

std::u16string DirectoryName(std::mt19937& Random, unsigned Serial) {
    std::u16string name = kWords[Random() % (sizeof(kWords) / sizeof(kWords[0]))];
    return name + u" " + Number(Serial);
}

std::u16string FileName(std::mt19937& Random, unsigned Serial) {
    std::u16string name = kStems[Random() % (sizeof(kStems) / sizeof(kStems[0]))];
    if (Random() % 3 == 0) name += u"_" + std::u16string(kStems[Random() % 29]);
    name += Number(Serial);
    return name + kExtensions[Random() % (sizeof(kExtensions) / sizeof(kExtensions[0]))];
}

// A tracked name of the tree: its record and parent (index into the tree).
struct Node {
    BLOCK_ADDRESS Record;
    int Parent;  // -1 below the root
    bool Directory;
    std::u16string Name;
};

// ---- One store ----------------------------------------------------------------------------

class TrackedStore {
public:
    TrackedStore() {
        m_Volume.DriveIndex = 2;
        m_Volume.Ntfs = 1;
        m_Ready = FileBlockInit(&m_Volume);
    }
    ~TrackedStore() { FileBlockTearDown(&m_Volume); }

    VolumeContext* Volume() { return &m_Volume; }
    bool Ready() const { return m_Ready; }

    // Adds a name the way a path walk does (child tables created on demand),
    // with the short name a volume would give a long name.
    BLOCK_ADDRESS AddName(int Parent, const std::u16string& Name, bool Directory) {
        BLOCK_ADDRESS table = Parent < 0 ? m_Volume.Store->NameTable1 : ChildTable(Parent);
        WCHAR shortName[13] = {};
        ShortNameOf(Name, shortName);
        BLOCK_ADDRESS record = FileStateAddEntry(&m_Volume, table, W(Name), shortName,
                                                 Parent < 0 ? 0 : Nodes[Parent].Record);
        Nodes.push_back({record, Parent, Directory, Name});
        return record;
    }

    std::u16string PathOf(int Index) const {
        std::u16string path;
        for (int node = Index; node >= 0; node = Nodes[node].Parent) path = u"\\" + Nodes[node].Name + path;
        return path;
    }

    ULONG Blocks() const { return m_Volume.Store->LastBlockIndex + 1; }
    ULONGLONG UsedBytes() const {
        ULONGLONG used = 0;
        for (ULONG index = 0; index < Blocks(); index++) {
            used += (ULONGLONG)(STORE_FREE_UNITS_NEW - m_Volume.BlockDescriptors[index].FreeUnits) * 8;
        }
        return used;
    }

    std::vector<Node> Nodes;
    std::vector<int> Directories;

private:
    BLOCK_ADDRESS ChildTable(int Parent) {
        FileStateRecord* state = static_cast<FileStateRecord*>(
            FileBlockGetPtr(&m_Volume, Nodes[Parent].Record, STORE_MAGIC_FILE_STATE));
        if (state->ChildTable == 0) {
            state->ChildTable =
                FileBlockHashInit(&m_Volume, BlockIndexOf(Nodes[Parent].Record), STORE_NAME_TABLE_BUCKETS);
            state->Flags |= FILE_STATE_DIRECTORY;
        }
        return state->ChildTable;
    }

    static void ShortNameOf(const std::u16string& Name, WCHAR* ShortName) {
        UNICODE_STRING name = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), const_cast<PWSTR>(W(Name))};
        if (RtlIsNameLegalDOS8Dot3(&name, NULL, NULL)) return;
        GENERATE_NAME_CONTEXT context = {};
        UNICODE_STRING generated = {0, 24, ShortName};
        RtlGenerate8dot3Name(&name, TRUE, &context, &generated);
    }

    DeviceContext m_Volume{};
    bool m_Ready = false;
};

// Grows a tree the shape of a system volume, breadth first: directories with
// a few to a dozen subdirectories near the top, fewer below, ten levels at
// most, and a few to a few hundred files each.
void BuildTree(TrackedStore* Store, size_t Names, unsigned Seed) {
    std::mt19937 random(Seed);
    std::vector<std::pair<int, int>> frontier;  // directory node, depth
    unsigned serial = 0;
    for (int top = 0; top < 12 && Store->Nodes.size() < Names; top++) {
        Store->AddName(-1, DirectoryName(random, serial++), true);
        int node = (int)Store->Nodes.size() - 1;
        Store->Directories.push_back(node);
        frontier.push_back({node, 1});
    }
    for (size_t next = 0; Store->Nodes.size() < Names; next++) {
        if (next == frontier.size()) next = 0;  // wrap: keep filling the directories that exist
        auto [directory, depth] = frontier[next];
        unsigned files = 2 + random() % (random() % 4 == 0 ? 300 : 40);
        for (unsigned i = 0; i < files && Store->Nodes.size() < Names; i++) {
            Store->AddName(directory, FileName(random, serial++), false);
        }
        unsigned subdirectories = depth < 10 ? random() % (depth < 3 ? 12 : 5) : 0;
        for (unsigned i = 0; i < subdirectories && Store->Nodes.size() < Names; i++) {
            Store->AddName(directory, DirectoryName(random, serial++), true);
            int node = (int)Store->Nodes.size() - 1;
            Store->Directories.push_back(node);
            frontier.push_back({node, depth + 1});
        }
    }
}

// All names in one directory.
void BuildFlat(TrackedStore* Store, size_t Names, unsigned Seed) {
    std::mt19937 random(Seed);
    Store->AddName(-1, u"Flat Directory", true);
    Store->Directories.push_back(0);
    for (unsigned serial = 0; Store->Nodes.size() < Names; serial++) {
        Store->AddName(0, FileName(random, serial), false);
    }
}

// The stores built so far, kept for every benchmark that needs the same one.
std::map<std::pair<int, size_t>, std::unique_ptr<TrackedStore>> g_Stores;

std::unique_ptr<TrackedStore>& Cached(int Shape, size_t Names) {
    std::unique_ptr<TrackedStore>& store = g_Stores[{Shape, Names}];
    if (!store) {
        store = std::make_unique<TrackedStore>();
        if (Shape == 0) BuildTree(store.get(), Names, 1234);
        else BuildFlat(store.get(), Names, 1234);
    }
    return store;
}

std::vector<std::u16string> SamplePaths(TrackedStore* Store, size_t Count, unsigned Seed) {
    std::mt19937 random(Seed);
    std::vector<std::u16string> paths;
    for (size_t i = 0; i < Count; i++) paths.push_back(Store->PathOf((int)(random() % Store->Nodes.size())));
    return paths;
}

// ---- The measured operations ---------------------------------------------------------------

// CPU time of the calling thread in nanoseconds: the machine running the
// benchmarks is shared, and wall time would measure the neighbours too.
double ThreadNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec * 1e9 + (double)now.tv_nsec;
}

struct Scratch {
    std::vector<WCHAR> Output = std::vector<WCHAR>(PATH_BUFFER_CHARS + 1);
};

// Mean nanoseconds of Count lookups, taken outside the benchmark loop (the
// baseline of the ratios).
double MeanComponents(const std::vector<std::u16string>& Paths) {
    size_t components = 0;
    for (const std::u16string& path : Paths) {
        for (char16_t c : path) components += c == u'\\';
    }
    return (double)components / (double)Paths.size();
}

double LookupNanoseconds(TrackedStore* Store, const std::vector<std::u16string>& Paths, size_t Count) {
    Scratch scratch;
    UCHAR status = 0;
    double start = ThreadNanoseconds();
    for (size_t i = 0; i < Count; i++) {
        benchmark::DoNotOptimize(FileStatePathLookup(Store->Volume(), W(Paths[i % Paths.size()]),
                                                     scratch.Output.data(), &status, STORE_TABLE_VOLUME_PATHS,
                                                     FALSE, NULL));
    }
    return (ThreadNanoseconds() - start) / (double)Count;
}

double BaselineLookupNanoseconds() {
    TrackedStore* small = Cached(0, 1000).get();
    std::vector<std::u16string> paths = SamplePaths(small, 1000, 99);
    LookupNanoseconds(small, paths, 20000);  // warm
    return LookupNanoseconds(small, paths, 50000);
}

void ReportStore(benchmark::State& State, TrackedStore* Store) {
    State.counters["names"] = (double)Store->Nodes.size();
    State.counters["blocks"] = Store->Blocks();
    State.counters["bytes_per_name"] = (double)Store->Blocks() * STORE_BLOCK_BYTES / (double)Store->Nodes.size();
    State.counters["used_bytes_per_name"] = (double)Store->UsedBytes() / (double)Store->Nodes.size();
}

void PathLookup(benchmark::State& State, int Shape) {
    TrackedStore* store = Cached(Shape, (size_t)State.range(0)).get();
    if (!store->Ready()) {
        State.SkipWithError("no store");
        return;
    }
    std::vector<std::u16string> paths = SamplePaths(store, 4096, 7);
    double baseline = BaselineLookupNanoseconds();
    Scratch scratch;
    UCHAR status = 0;
    size_t i = 0;
    size_t found = 0;
    for (auto _ : State) {
        found += FileStatePathLookup(store->Volume(), W(paths[i++ & 4095]), scratch.Output.data(), &status,
                                     STORE_TABLE_VOLUME_PATHS, FALSE, NULL) != 0;
    }
    if (found != (size_t)State.iterations()) State.SkipWithError("a tracked path was not found");
    double perLookup = LookupNanoseconds(store, paths, 20000);
    State.counters["ns_per_lookup"] = perLookup;
    State.counters["vs_1000_names"] = perLookup / baseline;
    State.counters["components"] = MeanComponents(paths);
    State.counters["ns_per_component"] = perLookup / MeanComponents(paths);
    ReportStore(State, store);
}

// Directories of the tree that have children already, so that removing a
// name added below them prunes nothing.
std::vector<std::u16string> DirectoriesWithChildren(TrackedStore* Store, size_t Count, unsigned Seed) {
    std::mt19937 random(Seed);
    std::vector<std::u16string> directories;
    for (size_t tries = 0; directories.size() < Count && tries < Count * 100; tries++) {
        int node = Store->Directories[random() % Store->Directories.size()];
        FileStateRecord* state = static_cast<FileStateRecord*>(
            FileBlockGetPtr(Store->Volume(), Store->Nodes[node].Record, STORE_MAGIC_FILE_STATE));
        if (state->ChildTable != 0) directories.push_back(Store->PathOf(node));
    }
    return directories;
}

#define ADDS_PER_ROUND 256

// One round: ADDS_PER_ROUND fresh 8.3 names (no short name to ask a volume
// for) under random directories are added (timed: walk, miss, insert) and
// removed again (not timed), so that the store keeps its size. Nanoseconds of
// the adds.
double AddRound(TrackedStore* Store, const std::vector<std::u16string>& Directories, unsigned* Serial) {
    std::vector<std::u16string> paths(ADDS_PER_ROUND);
    for (std::u16string& path : paths) {
        unsigned n = (*Serial)++;
        path = Directories[n % Directories.size()] + u"\\N" + Number(10000000 + n % 9000000).substr(1) + u".TMP";
    }
    size_t added = 0;
    double start = ThreadNanoseconds();
    for (const std::u16string& path : paths) {
        added += FileStatePathAdd(Store->Volume(), W(path), STORE_TABLE_VOLUME_PATHS) != 0;
    }
    double elapsed = ThreadNanoseconds() - start;
    for (const std::u16string& path : paths) FileStateRemovePath(Store->Volume(), W(path), STORE_TABLE_VOLUME_PATHS);
    return added == paths.size() ? elapsed : -1.0;
}

double BaselineAddNanoseconds() {
    TrackedStore* small = Cached(0, 1000).get();
    std::vector<std::u16string> directories = DirectoriesWithChildren(small, 256, 3);
    unsigned serial = 0;
    double total = 0;
    for (int round = 0; round < 60; round++) {
        double elapsed = AddRound(small, directories, &serial);
        if (round >= 20) total += elapsed;  // the first rounds warm up
    }
    return total / (40.0 * ADDS_PER_ROUND);
}

void PathAdd(benchmark::State& State, int Shape) {
    TrackedStore* store = Cached(Shape, (size_t)State.range(0)).get();
    if (!store->Ready()) {
        State.SkipWithError("no store");
        return;
    }
    std::vector<std::u16string> directories = DirectoriesWithChildren(store, 1024, 11);
    double baseline = BaselineAddNanoseconds();
    unsigned serial = 0;
    double total = 0;
    for (auto _ : State) {
        double elapsed = AddRound(store, directories, &serial);
        if (elapsed < 0) {
            State.SkipWithError("an add failed");
            return;
        }
        total += elapsed;
        State.SetIterationTime(elapsed / 1e9);
    }
    double perAdd = total / ((double)State.iterations() * ADDS_PER_ROUND);
    State.counters["ns_per_add"] = perAdd;
    State.counters["vs_1000_names"] = perAdd / baseline;
    ReportStore(State, store);
}

// Adding a path whose records all exist: the walk alone.
void PathAddExisting(benchmark::State& State, int Shape) {
    TrackedStore* store = Cached(Shape, (size_t)State.range(0)).get();
    std::vector<std::u16string> paths = SamplePaths(store, 4096, 5);
    size_t i = 0;
    for (auto _ : State) {
        benchmark::DoNotOptimize(FileStatePathAdd(store->Volume(), W(paths[i++ & 4095]), STORE_TABLE_VOLUME_PATHS));
    }
    ReportStore(State, store);
}

void BM_PathLookupTree(benchmark::State& State) { PathLookup(State, 0); }
void BM_PathLookupOneDirectory(benchmark::State& State) { PathLookup(State, 1); }
void BM_PathAddTree(benchmark::State& State) { PathAdd(State, 0); }
void BM_PathAddOneDirectory(benchmark::State& State) { PathAdd(State, 1); }
void BM_PathAddExistingTree(benchmark::State& State) { PathAddExisting(State, 0); }

BENCHMARK(BM_PathLookupTree)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PathLookupOneDirectory)->Arg(100000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PathAddExistingTree)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_PathAddTree)->Arg(1000)->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PathAddOneDirectory)->Arg(100000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    plat::KernelCreate();
    ExInitializeResourceLite(&g_Quilt.StoreLock);
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExInitializeResourceLite(&lock);
    PathBufferListInitialize();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // The stores go before the kernel.
    g_Stores.clear();
    PathBufferListDelete();
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExDeleteResourceLite(&lock);
    ExDeleteResourceLite(&g_Quilt.StoreLock);
    std::vector<std::string> findings = plat::KernelDestroy();
    for (const std::string& finding : findings) fprintf(stderr, "verifier: %s\n", finding.c_str());
    return findings.empty() ? 0 : 1;
}
