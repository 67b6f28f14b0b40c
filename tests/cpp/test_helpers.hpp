#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/state.hpp"

namespace aeso::test {

// Bit-for-bit equality, so that -0.0 differs from 0.0 and NaN equals NaN.
inline ::testing::AssertionResult SameBits(double a, double b) {
    if (std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b)) {
        return ::testing::AssertionSuccess();
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.17g vs %.17g", a, b);
    return ::testing::AssertionFailure() << buf;
}

// The rocket used by the 3-DOF reference cases.
inline RocketProperties reference_rocket_3dof() {
    return RocketProperties{1.0, 0.5, 0.01, 0.123, 0.5, 0.1, 2.0};
}

inline RocketProperties pure_gravity_rocket() {
    return RocketProperties{1.0, 0.0, 0.01, 0.01, 1.0, 0.1, 2.0};
}

// Redirects file descriptor 1 to a temporary file (or to `path`) for the
// lifetime of the object; text() returns what was written.
class StdoutCapture {
public:
    explicit StdoutCapture(const char* path = nullptr) {
        std::fflush(stdout);
        saved_ = ::dup(1);
        if (path != nullptr) {
            target_ = ::open(path, O_WRONLY);
        } else {
            std::FILE* f = std::tmpfile();
            file_ = f;
            target_ = ::dup(::fileno(f));
        }
        ::dup2(target_, 1);
    }
    ~StdoutCapture() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
    }
    void restore() {
        if (saved_ >= 0) {
            ::dup2(saved_, 1);
            ::close(saved_);
            ::close(target_);
            saved_ = -1;
        }
    }
    std::string text() {
        restore();
        std::string out;
        if (file_ == nullptr) return out;
        std::rewind(file_);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

private:
    int saved_ = -1;
    int target_ = -1;
    std::FILE* file_ = nullptr;
};

}  // namespace aeso::test
