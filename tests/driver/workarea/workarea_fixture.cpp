#include "workarea_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "ke/dispatcher.h"
#include "rtl/convert.h"

namespace quilt_test {

using plat::native::File;

void WorkAreaTest::MakeDirectory(const std::u16string& path) {
    ASSERT_EQ(plat::native::CreateDirectory(path), STATUS_SUCCESS) << plat::Utf16ToUtf8(path);
}

void WorkAreaTest::MakeFile(const std::u16string& path, const std::string& content, ULONG attributes) {
    File file;
    plat::native::OpenOptions options;
    options.Access = GENERIC_WRITE | SYNCHRONIZE;
    options.Disposition = FILE_CREATE;
    options.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    options.Attributes = attributes;
    ASSERT_EQ(File::Open(path, options, &file), STATUS_SUCCESS) << plat::Utf16ToUtf8(path);
    ASSERT_EQ(file.Write(0, content), STATUS_SUCCESS);
}

void WorkAreaTest::MakeJunction(const std::u16string& path, const std::u16string& target) {
    ASSERT_EQ(quilt_test::MakeJunction(path, target), STATUS_SUCCESS);
}

bool WorkAreaTest::Exists(const std::u16string& path) {
    File file;
    return NT_SUCCESS(OpenPath(path.c_str(), &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                               FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT));
}

std::vector<std::string> WorkAreaTest::Names(const std::u16string& folder) {
    File directory;
    std::vector<std::string> names;
    if (!NT_SUCCESS(OpenPath(folder.c_str(), &directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT))) {
        return names;
    }
    std::vector<plat::native::DirectoryEntry> entries;
    directory.List(&entries);
    for (const auto& entry : entries) names.push_back(plat::Utf16ToUtf8(entry.Name));
    return names;
}

std::vector<std::string> WorkAreaTest::LogLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream log(LogText());
    std::string line;
    while (std::getline(log, line)) {
        if (line.find(text) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

namespace {

struct ThreadView {
    bool terminated = true;
    bool blocked = false;
};

ThreadView ViewOf(HANDLE thread) {
    ThreadView view;
    PETHREAD object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, 0, *PsThreadType, KernelMode,
                                              reinterpret_cast<PVOID*>(&object), nullptr))) {
        return view;
    }
    {
        plat::DispatcherGuard guard(plat::DispatcherLock());
        view.terminated = object->Tcb.State->Terminated;
        view.blocked = object->Tcb.State->Blocked;
    }
    ObDereferenceObject(object);
    return view;
}

// After the clock moved, gives the thread a moment (host time, a few
// milliseconds at most) to leave the wait the move ended.
void LetItWake(HANDLE thread) {
    for (int i = 0; i < 50; ++i) {
        ThreadView view = ViewOf(thread);
        if (view.terminated || !view.blocked) return;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace

int WorkAreaTest::RunCountingPauses(std::function<void()> Body) {
    HANDLE thread = StartSystemThread(std::move(Body));
    int pauses = 0;
    for (;;) {
        WaitUntilBlocked(thread);
        if (ViewOf(thread).terminated) break;
        AdvanceSeconds(1);
        ++pauses;
        LetItWake(thread);
        if (pauses > 100) {
            ADD_FAILURE() << "the thread keeps waiting";
            break;
        }
    }
    JoinSystemThread(thread);
    return pauses;
}

}  // namespace quilt_test
