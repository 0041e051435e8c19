// Where a call was written, for the reports that name it. std::source_location
// where the compiler provides it; the same builtins behind it otherwise
// (clang before 15 with this standard library, as the fuzz and analysis
// builds use).
#pragma once

#include <cstdint>
#if __has_include(<source_location>)
#include <source_location>
#endif

namespace zel {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
struct SourceLocation {
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            uint_least32_t line = __builtin_LINE()) {
        return SourceLocation{file, line};
    }
    constexpr const char* file_name() const { return file_; }
    constexpr uint_least32_t line() const { return line_; }
    const char* file_;
    uint_least32_t line_;
};
#endif

}  // namespace zel
