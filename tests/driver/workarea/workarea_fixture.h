// Work-area tests run on the stand-in's real volumes (C: NTFS, D: FAT) with
// quilt.sys loaded and the kernel clock stopped, so that the deleter's
// one-second pauses pass in virtual time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/quilt_driver_fixture.h"

namespace quilt_test {

inline constexpr ULONG kDriveC = 2;
inline constexpr ULONG kDriveD = 3;

class WorkAreaTest : public VirtualTimeQuiltVolumeTest {
protected:
    void MakeDirectory(const std::u16string& path);
    void MakeFile(const std::u16string& path, const std::string& content = "data", ULONG attributes = 0);
    // Makes `path` an NTFS junction to `target` (a Win32 path).
    void MakeJunction(const std::u16string& path, const std::u16string& target);
    bool Exists(const std::u16string& path);
    // The names in a folder ("." and ".." left out), in listing order.
    std::vector<std::string> Names(const std::u16string& folder);
    // Lines of quilt.log that contain Text.
    std::vector<std::string> LogLines(const std::string& text);

    // Runs Body in a system thread and, whenever that thread waits, moves the
    // stopped clock on by one second, until it ends. Returns how many moves
    // it took: the thread's pauses, when it pauses only in timed waits.
    int RunCountingPauses(std::function<void()> Body);
};

}  // namespace quilt_test
