// What the fuzz targets share: the input read front to back, and a check that stops the run.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The input as a stream of bytes; past its end every read gives 0.
struct FuzzInput {
    const uint8_t* data;
    size_t size;
    size_t at;
};

inline int fuzz_left(const FuzzInput* in) {
    return in->at < in->size;
}

inline unsigned fuzz_byte(FuzzInput* in) {
    return in->at < in->size ? in->data[in->at++] : 0u;
}

// Two bytes, low byte first.
inline unsigned fuzz_word(FuzzInput* in) {
    unsigned lo = fuzz_byte(in);
    return lo | (fuzz_byte(in) << 8);
}

// Copies up to n bytes of the input into out (the rest of out untouched); returns how many.
inline size_t fuzz_bytes(FuzzInput* in, char* out, size_t n) {
    size_t k = 0;
    for (; k < n && in->at < in->size; ++k)
        out[k] = static_cast<char>(in->data[in->at++]);
    return k;
}

// A broken rule: says which and ends the run, so that libFuzzer keeps the input that did it.
[[noreturn]] inline void fuzz_fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void fuzz_fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "fuzz check failed: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::abort();
}
