// Function attributes that compilers spell differently: one macro each, empty where the compiler
// has no such attribute (MSVC warns about attributes it does not know).
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define TARN_COLD [[gnu::cold]]
#define TARN_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define TARN_COLD
#define TARN_NOINLINE __declspec(noinline)
#else
#define TARN_COLD
#define TARN_NOINLINE
#endif
