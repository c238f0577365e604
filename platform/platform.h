// The Windows operations the uninstaller uses, behind one header.
//
// On Windows this is the real API. Elsewhere the same names, types and
// constants come from simwin.h, a simulated Windows machine that lives in a
// folder of the host. Program code includes only this header and never asks
// which of the two it runs on.
#ifndef QUILLFEN_PLATFORM_H
#define QUILLFEN_PLATFORM_H

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "simwin.h"
#endif

// File streams are opened by Windows path. Modes are "rb" and "wb" only: the
// program does its own text-mode translation, so both builds read and write
// the same bytes. Returns NULL on failure.
FILE *OpenFileStream(const char *path, const char *mode);

// Creates a file that must not exist yet and opens it for binary writing.
// Fails when anything by that name is already there (a link included, which
// is never followed). Returns NULL on failure.
FILE *CreateNewFileStream(const char *path);

#endif
