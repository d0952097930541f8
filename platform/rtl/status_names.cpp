// Names of the NTSTATUS values defined in nt/ntstatus.h. The table is
// generated from the header at build time (cmake/NtStatusNames.cmake), so a
// status added there is named here without further work.
#include <stdio.h>

#include "rtl/convert.h"

namespace plat {
namespace {

struct StatusName {
    NTSTATUS Value;
    const char* Name;
};

constexpr StatusName kStatusNames[] = {
#include "nt_status_names.inc"
};

}  // namespace

const char* NtStatusName(NTSTATUS status) {
    for (const StatusName& entry : kStatusNames) {
        if (entry.Value == status) return entry.Name;
    }
    return NULL;
}

std::string NtStatusText(NTSTATUS status) {
    const char* name = NtStatusName(status);
    if (name != NULL) return name;
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace plat
