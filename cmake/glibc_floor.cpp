// The C++ runtime floor of the session recorder (linked into it only; see glibc_floor.h for the C
// library's). manylinux2014 admits libstdc++ symbols up to GLIBCXX_3.4.19 and CXXABI_1.3.7.
//
// std::string's range checks (substr, erase, insert at a position past the end) report through
// std::__throw_out_of_range_fmt, which libstdc++ has exported only since GLIBCXX_3.4.20. The
// recorder is built without exceptions, so an out-of-range position ends the process either way
// (an exception nothing can catch): this local definition does that itself, saying why, and the
// recorder needs nothing newer from libstdc++. The same for std::__throw_bad_array_new_length
// (GLIBCXX_3.4.29), by which GCC 11 and newer have a container's allocation of more elements
// than memory can hold report. (Sized deallocation, CXXABI_1.3.9, is switched
// off with -fno-sized-deallocation.)
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace std {
[[noreturn]] __attribute__((visibility("hidden"))) void __throw_out_of_range_fmt(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("session recorder: out of range: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

[[noreturn]] __attribute__((visibility("hidden"))) void __throw_bad_array_new_length() {
    std::fputs("session recorder: an array's length exceeds what memory can hold\n", stderr);
    std::abort();
}
}  // namespace std
