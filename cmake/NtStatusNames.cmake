# Writes the table behind plat::NtStatusName (platform/rtl/status_names.cpp):
# one {STATUS_X, "STATUS_X"} entry per #define of platform/include/nt/ntstatus.h,
# in the header's order.
# Usage: cmake -DINPUT=<ntstatus.h> -DOUTPUT=<table.inc> -P NtStatusNames.cmake
file(STRINGS "${INPUT}" lines REGEX "^#define[ \t]+STATUS_[A-Za-z0-9_]+[ \t]")
set(body "// Generated from nt/ntstatus.h by cmake/NtStatusNames.cmake; do not edit.\n")
foreach(line IN LISTS lines)
    if(line MATCHES "^#define[ \t]+(STATUS_[A-Za-z0-9_]+)[ \t]")
        string(APPEND body "{${CMAKE_MATCH_1}, \"${CMAKE_MATCH_1}\"},\n")
    endif()
endforeach()
file(WRITE "${OUTPUT}" "${body}")
