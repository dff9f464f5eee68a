// A minimal test harness for the C++ tests: checks count passes and
// failures, and the closing line reads "N passed, M failed".
#pragma once

#include <cstdio>
#include <string>

namespace testing {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

inline int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace testing
