// Basic Windows-style types and constants shared by every layer. Portable
// code gets them from here without <windows.h>; where both are seen (the
// Windows backend and the GUI layer) the definitions agree with it.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int BOOL;
#ifdef _WIN32
typedef unsigned long DWORD;  // as <windows.h> has it
#else
typedef uint32_t DWORD;
#endif
typedef unsigned int UINT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Spelt as <windows.h> spells them, so that either may come first.
#ifndef FILE_ATTRIBUTE_READONLY
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif

// The separator that full paths are built with on this system.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Limits for names the program makes: bytes in one name, and in a whole
// path (Windows paths go to the system in the \\?\ form, which has no
// limit short of the system's own 32,767 characters).
constexpr size_t kMaxNameLength = 255;
#ifdef _WIN32
constexpr size_t kMaxPathLength = 32767;
// Temporary files stand beside the file under its name and a suffix; on
// POSIX a leading dot hides them.
constexpr char kTemporaryPrefix[] = "";
#else
constexpr size_t kMaxPathLength = 4096;
constexpr char kTemporaryPrefix[] = ".";
#endif
