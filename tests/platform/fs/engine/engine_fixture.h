// A formatted volume engine and short-hands for opening, writing and closing
// files through it, shared by the engine's tests.
#pragma once

#include "fs/engine/volume.h"

#include <gtest/gtest.h>

#include <string>

namespace plat::fs::test {

inline Name N(const char* utf8) { return NameFromUtf8(utf8); }

class EngineTest : public ::testing::Test {
protected:
    static constexpr uint32_t kReadWrite = kFileGenericRead | kFileGenericWrite;
    static constexpr uint32_t kAll = kShareRead | kShareWrite | kShareDelete;

    void Format(FsKind kind = FsKind::Ntfs, uint64_t size = 64ull << 20) {
        FormatParams params;
        params.Kind = kind;
        params.SizeBytes = size;
        params.Label = u"TEST";
        params.SerialNumber = 0x1234ABCD;
        volume = Volume::Format(params, [this] { return now; });
    }

    void SetUp() override { Format(); }

    void TearDown() override {
        CloseAll();
        if (volume) {
            EXPECT_EQ(volume->CheckConsistency(), "");
        }
    }

    CreateResult Open(const char* path, uint32_t disposition, uint32_t options = 0,
                      uint32_t access = kReadWrite | kDelete, uint32_t share = kAll, uint32_t attributes = 0) {
        CreateRequest r;
        r.Path = N(path);
        r.Disposition = disposition;
        r.Options = options;
        r.DesiredAccess = access;
        r.ShareAccess = share;
        r.Attributes = attributes;
        CreateResult result = volume->Create(r);
        if (NT_SUCCESS(result.Status) && result.Status != STATUS_REPARSE) opened.push_back(result.Open);
        return result;
    }

    NTSTATUS OpenStatus(const char* path, uint32_t disposition, uint32_t options = 0,
                        uint32_t access = kReadWrite | kDelete, uint32_t share = kAll) {
        CreateResult r = Open(path, disposition, options, access, share);
        if (NT_SUCCESS(r.Status) && r.Open) Close(r.Open);
        return r.Status;
    }

    OpenFile* MustOpen(const char* path, uint32_t disposition, uint32_t options = 0,
                       uint32_t access = kReadWrite | kDelete, uint32_t share = kAll) {
        CreateResult r = Open(path, disposition, options, access, share);
        EXPECT_EQ(r.Status, STATUS_SUCCESS) << path;
        return r.Open;
    }

    void Close(OpenFile* open, bool modified = false) {
        if (!open) return;
        volume->Cleanup(open, modified, open, 1);
        volume->Close(open);
        std::erase(opened, open);
    }

    void CloseAll() {
        while (!opened.empty()) Close(opened.back());
    }

    void MakeDir(const char* path) { Close(MustOpen(path, kCreate, kOptDirectoryFile)); }

    void MakeFile(const char* path, const std::string& data = std::string()) {
        OpenFile* f = MustOpen(path, kCreate, kOptNonDirectoryFile);
        Write(f, 0, data);
        Close(f, true);
    }

    NTSTATUS Write(OpenFile* f, uint64_t offset, const std::string& data, const void* owner = nullptr) {
        size_t done = 0;
        ChangeEvents events;
        LockOwner o{owner ? owner : f, 1, 0};
        return volume->Write(f, offset, data.data(), data.size(), false, o, &done, &events);
    }

    // Reads `length` bytes, or up to the end of the file when not given.
    std::string Read(OpenFile* f, uint64_t offset = 0, size_t length = 0) {
        if (length == 0) {
            uint64_t size = Info(f).EndOfFile;
            length = size > offset ? static_cast<size_t>(size - offset) : 1;
        }
        std::string out(length, '\0');
        size_t done = 0;
        LockOwner o{f, 1, 0};
        NTSTATUS s = volume->Read(f, offset, out.data(), length, o, &done);
        if (s == STATUS_END_OF_FILE && offset == 0) return std::string();
        if (!NT_SUCCESS(s)) return "<" + std::to_string(static_cast<uint32_t>(s)) + ">";
        out.resize(done);
        return out;
    }

    std::string ReadFile(const char* path) {
        OpenFile* f = MustOpen(path, kOpen, 0, kFileGenericRead, kAll);
        if (!f) return "<open failed>";
        std::string data = Read(f);
        Close(f);
        return data;
    }

    FileSnapshot Info(OpenFile* f) {
        FileSnapshot s;
        EXPECT_EQ(volume->Query(f, &s), STATUS_SUCCESS);
        return s;
    }

    bool Exists(const char* path) {
        CreateResult r = Open(path, kOpen, 0, kFileReadAttributes, kAll);
        if (r.Status == STATUS_SUCCESS) Close(r.Open);
        return r.Status == STATUS_SUCCESS;
    }

    std::vector<std::string> List(const char* dirPath) {
        std::vector<std::string> names;
        OpenFile* dir = MustOpen(dirPath, kOpen, kOptDirectoryFile, kFileReadData, kAll);
        volume->Enumerate(dir, DirectoryCursor(), true, [&](const DirectoryListing& l, const DirectoryCursor&) {
            names.push_back(NameToUtf8(l.Entry->LongName));
            return true;
        });
        Close(dir);
        return names;
    }

    int64_t now = 133000000000000000ll;  // 2022
    std::unique_ptr<Volume> volume;
    std::vector<OpenFile*> opened;
};

}  // namespace plat::fs::test
