#pragma once

// Invariant checks for the fuzz harnesses: a broken invariant prints what was
// expected and aborts, which libFuzzer records as a crash with the input.

#include <QByteArray>

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzFailure(const char *file, int line, const char *what)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(__FILE__, __LINE__, #condition);                                           \
    } while (false)

inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}
