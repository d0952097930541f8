// The kernel C++ runtime the driver relies on: its static initialisers run
// from DriverEntry (there is no loader to run them in the kernel) and its
// static destructors run when driver entry undoes its work. Each build provides
// these: the Windows build walks the image's constructor list, the host build
// lets the module loader do it.
#pragma once

#include <ntifs.h>

EXTERN_C NTSTATUS QuiltRunStaticInitializers();
EXTERN_C VOID QuiltRunStaticDestructors();
