// What every fuzzer here shares: a broken invariant aborts, so that the fuzzer reports the input
// that broke it, and the input is taken as bytes, as the program takes what arrives.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

// size bytes from data, copied.
inline QByteArray InputBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}
