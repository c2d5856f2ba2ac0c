// The pieces of the Windows C runtime that the system uses and that the C
// library of this platform lacks: bounded formatting and copying, conversion of
// UTF-16 text to narrow text, and unbuffered key input from the console.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin/win32_types.h"

typedef int errno_t;

#define _TRUNCATE (static_cast<std::size_t>(-1))
#define STRUNCATE 80

// One key from the process's console (its controlling terminal), without echo and
// without waiting for a line. Standard input is never read. A process without a
// terminal gets an answer at once, as a Windows process without a console does:
// the result is then -1.
int _getch();

// Length in code units of a zero-terminated UTF-16 text.
std::size_t wcslen(const WCHAR* text);

// Converts at most `count` code units of `source` (or all of it, with _TRUNCATE)
// into `destination`, always zero-terminated. Code units up to 0xFF convert to the
// byte of the same value, as in the "C" locale; any other fails with EILSEQ.
// `converted` receives the number of bytes written, the terminating zero included.
// Text cut to fit under _TRUNCATE gives STRUNCATE, as on Windows.
errno_t wcstombs_s(std::size_t* converted, char* destination, std::size_t destinationSize,
                   const WCHAR* source, std::size_t count);

errno_t strcpy_s(char* destination, std::size_t destinationSize, const char* source);
// Text cut to fit under _TRUNCATE gives STRUNCATE.
errno_t strncpy_s(char* destination, std::size_t destinationSize, const char* source,
                  std::size_t count);

// The formatted text must fit with its terminating zero; otherwise the result is
// -1 and the buffer holds the empty text.
int sprintf_s(char* buffer, std::size_t bufferSize, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes at most `count` characters (or as many as fit, with _TRUNCATE) and a
// terminating zero; the result is -1 when the text was cut.
int _snprintf_s(char* buffer, std::size_t bufferSize, std::size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

char* _strdup(const char* text);
