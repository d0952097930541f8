#!/usr/bin/env bash
# Checks that a driver image is PE32, for the native subsystem, and imports from
# ntoskrnl.exe and HAL.dll only.
set -euo pipefail

image="${1:?usage: check_image.sh IMAGE}"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"

headers="$("$objdump" -p "$image")"
fail() { echo "check_image: $image: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$headers" || fail "not a 32-bit x86 PE image"
grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || fail "not PE32"
grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' <<<"$headers" || fail "subsystem is not native (1)"

imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort -u)"
[[ -n "$imports" ]] || fail "imports nothing"
while read -r dll; do
    case "${dll,,}" in
        ntoskrnl.exe|hal.dll) ;;
        *) fail "imports from $dll" ;;
    esac
done <<<"$imports"

echo "check_image: $image: PE32, native, imports: $(tr '\n' ' ' <<<"$imports")"
