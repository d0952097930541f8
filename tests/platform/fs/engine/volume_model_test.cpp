// A randomised model test of names and links: random creates, hard links,
// renames (with and without replace), deletions and writes run against the
// engine and against a plain reference model; statuses, listings, link
// counts, contents and short-name lookups must agree throughout, also after
// a flush and a remount.
#include "engine_fixture.h"

#include <map>
#include <random>

namespace plat::fs::test {
namespace {

struct ModelNode {
    bool Directory = false;
    std::string Data;
    int Links = 0;
};

// The reference: full paths (as spelled) to model nodes, keyed by upper case.
class Model {
public:
    Model() { nodes[0] = ModelNode{true, "", 1}; }

    static std::string Upper(const std::string& s) {
        std::string u = s;
        for (char& c : u) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return u;
    }
    static std::string Join(const std::string& dir, const std::string& name) {
        return dir == "\\" ? "\\" + name : dir + "\\" + name;
    }
    static std::string ParentOf(const std::string& path) {
        size_t cut = path.rfind('\\');
        return cut == 0 ? "\\" : path.substr(0, cut);
    }

    const std::pair<std::string, int>* Find(const std::string& path) const {
        auto it = paths.find(Upper(path));
        return it == paths.end() ? nullptr : &it->second;
    }
    bool IsDir(const std::string& path) const {
        if (path == "\\") return true;
        auto* p = Find(path);
        return p && nodes.at(p->second).Directory;
    }
    bool HasChildren(const std::string& path) const {
        std::string prefix = Upper(path) + "\\";
        auto it = paths.lower_bound(prefix);
        return it != paths.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    }
    void Add(const std::string& path, int id) {
        paths[Upper(path)] = {path, id};
        ++nodes[id].Links;
    }
    void Remove(const std::string& path) {
        auto it = paths.find(Upper(path));
        int id = it->second.second;
        paths.erase(it);
        if (--nodes[id].Links == 0) nodes.erase(id);
    }
    // Moves `from` (and, for a directory, everything below it) to `to`.
    void Move(const std::string& from, const std::string& to) {
        std::string prefix = Upper(from);
        std::vector<std::pair<std::string, int>> moved;
        for (auto it = paths.begin(); it != paths.end();) {
            const std::string& key = it->first;
            if (key == prefix || key.compare(0, prefix.size() + 1, prefix + "\\") == 0) {
                moved.push_back({to + it->second.first.substr(from.size()), it->second.second});
                it = paths.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [p, id] : moved) paths[Upper(p)] = {p, id};
    }
    std::vector<std::string> ListUpper(const std::string& dir) const {
        std::vector<std::string> names;
        for (auto& [key, value] : paths) {
            if (ParentOf(value.first) == dir || (dir != "\\" && Upper(ParentOf(value.first)) == Upper(dir))) {
                names.push_back(Upper(value.first.substr(value.first.rfind('\\') + 1)));
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::map<std::string, std::pair<std::string, int>> paths;  // upper path -> (spelling, node)
    std::map<int, ModelNode> nodes;
    int nextId = 1;
};

class VolumeModel : public EngineTest {
protected:
    std::mt19937 rng;
    Model model;
    VolumeImage image;

    std::string Pick(const std::vector<std::string>& v) { return v[rng() % v.size()]; }
    int Roll(int n) { return static_cast<int>(rng() % n); }

    std::string RandomName() {
        static const std::vector<std::string> pool = {"a", "b.txt", "Long Name.doc", "another long name",
                                                       "Program Files", "c", "data.bin"};
        std::string n = Pick(pool);
        for (char& c : n) {
            if (Roll(3) == 0) c = static_cast<char>(Roll(2) ? toupper(c) : tolower(c));
        }
        return n;
    }
    std::string RandomDir() {
        std::vector<std::string> dirs{"\\"};
        for (auto& [key, value] : model.paths) {
            if (model.nodes[value.second].Directory) dirs.push_back(value.first);
        }
        if (Roll(10) == 0) return "\\no such dir";
        return Pick(dirs);
    }
    std::string RandomExisting(bool filesOnly) {
        std::vector<std::string> all;
        for (auto& [key, value] : model.paths) {
            if (!filesOnly || !model.nodes[value.second].Directory) all.push_back(value.first);
        }
        return all.empty() ? std::string() : Pick(all);
    }
    OpenFile* OpenPath(const std::string& path, uint32_t options = 0) {
        CreateResult r = Open(path.c_str(), kOpen, options, kReadWrite | kDelete, kAll);
        EXPECT_EQ(r.Status, STATUS_SUCCESS) << path;
        return r.Open;
    }

    void StepCreate(bool directory) {
        std::string dir = RandomDir();
        std::string path = Model::Join(dir, RandomName());
        NTSTATUS expected = !model.IsDir(dir) ? STATUS_OBJECT_PATH_NOT_FOUND
                            : model.Find(path)   ? STATUS_OBJECT_NAME_COLLISION
                                                 : STATUS_SUCCESS;
        NTSTATUS got = OpenStatus(path.c_str(), kCreate, directory ? kOptDirectoryFile : kOptNonDirectoryFile);
        ASSERT_EQ(got, expected) << "create " << path;
        if (got == STATUS_SUCCESS) {
            int id = model.nextId++;
            model.nodes[id].Directory = directory;
            model.Add(path, id);
        }
    }

    void StepLink() {
        std::string source = RandomExisting(true);
        if (source.empty()) return;
        std::string dir = RandomDir();
        if (!model.IsDir(dir)) return;
        std::string name = RandomName();
        std::string target = Model::Join(dir, name);
        NTSTATUS expected = model.Find(target) ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS;
        OpenFile* f = OpenPath(source);
        OpenFile* d = OpenPath(dir, kOptDirectoryFile);
        ChangeEvents events;
        NTSTATUS got = volume->HardLink(f, d, NameFromUtf8(name), false, &events);
        Close(d);
        Close(f);
        ASSERT_EQ(got, expected) << "link " << source << " -> " << target;
        if (got == STATUS_SUCCESS) model.Add(target, model.Find(source)->second);
    }

    void StepRename() {
        std::string source = RandomExisting(false);
        if (source.empty()) return;
        std::string dir = RandomDir();
        if (!model.IsDir(dir)) return;
        std::string target = Model::Join(dir, RandomName());
        bool replace = Roll(2) == 0;
        bool sourceDir = model.IsDir(source);
        auto* existing = model.Find(target);
        std::string upperSource = Model::Upper(source);
        std::string upperDir = Model::Upper(dir);
        bool intoItself = sourceDir && (upperDir == upperSource ||
                                        upperDir.compare(0, upperSource.size() + 1, upperSource + "\\") == 0);
        bool sameEntry = existing && Model::Upper(existing->first) == upperSource;
        NTSTATUS expected = STATUS_SUCCESS;
        if (intoItself) expected = STATUS_INVALID_PARAMETER;
        else if (existing && !sameEntry && !replace) expected = STATUS_OBJECT_NAME_COLLISION;
        else if (existing && !sameEntry && (sourceDir || model.nodes[existing->second].Directory)) {
            expected = STATUS_ACCESS_DENIED;
        }

        OpenFile* f = OpenPath(source, sourceDir ? kOptDirectoryFile : 0);
        OpenFile* d = OpenPath(dir, kOptDirectoryFile);
        ChangeEvents events;
        NTSTATUS got = volume->Rename(f, d, NameFromUtf8(target.substr(target.rfind('\\') + 1)), replace, &events);
        Close(d);
        Close(f);
        ASSERT_EQ(got, expected) << "rename " << source << " -> " << target << " replace " << replace;
        if (got != STATUS_SUCCESS) return;
        if (existing && !sameEntry) model.Remove(existing->first);
        model.Move(source, target);
    }

    void StepDelete() {
        std::string path = RandomExisting(false);
        if (path.empty()) return;
        bool directory = model.IsDir(path);
        NTSTATUS expected = directory && model.HasChildren(path) ? STATUS_DIRECTORY_NOT_EMPTY : STATUS_SUCCESS;
        OpenFile* f = OpenPath(path, directory ? kOptDirectoryFile : 0);
        NTSTATUS got = volume->SetDisposition(f, true);
        Close(f);
        ASSERT_EQ(got, expected) << "delete " << path;
        if (got == STATUS_SUCCESS) model.Remove(path);
    }

    void StepWrite() {
        std::string path = RandomExisting(true);
        if (path.empty()) return;
        std::string data = "content " + std::to_string(rng());
        OpenFile* f = OpenPath(path);
        ChangeEvents events;
        volume->SetEndOfFile(f, 0, &events);
        ASSERT_EQ(Write(f, 0, data), STATUS_SUCCESS);
        Close(f, true);
        model.nodes[model.Find(path)->second].Data = data;
    }

    void Verify() {
        std::vector<std::string> dirs{"\\"};
        for (auto& [key, value] : model.paths) {
            const ModelNode& node = model.nodes[value.second];
            if (node.Directory) dirs.push_back(value.first);
            if (node.Directory) continue;
            OpenFile* f = OpenPath(value.first);
            FileSnapshot s = Info(f);
            EXPECT_EQ(s.NumberOfLinks, static_cast<uint32_t>(node.Links)) << value.first;
            EXPECT_EQ(Read(f), node.Data) << value.first;
            EXPECT_EQ(s.LongName, NameFromUtf8(value.first.substr(value.first.rfind('\\') + 1)));
            if (!s.ShortName.empty()) {
                // The short name opens the same file.
                std::string viaShort = Model::Join(Model::ParentOf(value.first), NameToUtf8(s.ShortName));
                OpenFile* alias = OpenPath(viaShort);
                EXPECT_EQ(Info(alias).Id, s.Id) << viaShort;
                Close(alias);
            }
            Close(f);
        }
        for (const std::string& dir : dirs) {
            std::vector<std::string> listed;
            for (const std::string& n : List(dir.c_str())) listed.push_back(Model::Upper(n));
            std::sort(listed.begin(), listed.end());
            EXPECT_EQ(listed, model.ListUpper(dir)) << dir;
        }
        EXPECT_EQ(volume->CheckConsistency(), "");
    }

    // The disk keeps its image between mounts; each flush adds the changes.
    void Remount() {
        volume->Flush(&image);
        std::unique_ptr<Volume> mounted;
        std::string reason;
        ASSERT_EQ(Volume::Mount(image, [this] { return now; }, &mounted, &reason), STATUS_SUCCESS) << reason;
        volume = std::move(mounted);
    }

    void Run(FsKind kind, unsigned seed, int steps) {
        Format(kind);
        rng.seed(seed);
        model = Model();
        image = VolumeImage();
        for (int i = 0; i < steps && !HasFatalFailure(); ++i) {
            int op = Roll(kind == FsKind::Ntfs ? 12 : 10);
            if (op < 3) StepCreate(false);
            else if (op < 5) StepCreate(true);
            else if (op < 7) StepRename();
            else if (op < 8) StepDelete();
            else if (op < 10) StepWrite();
            else StepLink();
            if (i % 100 == 99) {
                Verify();
                Remount();
            }
        }
        Verify();
    }
};

TEST_F(VolumeModel, NtfsNamesAndLinksAgreeWithTheModel) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Run(FsKind::Ntfs, seed, 800);
    }
}

TEST_F(VolumeModel, FatNamesAgreeWithTheModel) {
    for (unsigned seed : {11u, 12u}) {
        SCOPED_TRACE(seed);
        Run(FsKind::Fat, seed, 800);
    }
}

}  // namespace
}  // namespace plat::fs::test
