// Standard output, and standard error if asked, captured by GoogleTest for as
// long as the guard lives or until each is taken. A test that raises while
// capturing leaves the streams as they were: otherwise every later line of the
// test run went into the capture, and the next capture in the same process ended
// it ("Only one stdout capturer can exist at a time").
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace velk::test {

class CapturedOutput {
public:
    enum Streams { StdoutOnly, StdoutAndStderr };

    explicit CapturedOutput(Streams streams = StdoutOnly) : err_(streams == StdoutAndStderr) {
        ::testing::internal::CaptureStdout();
        if (err_) ::testing::internal::CaptureStderr();
    }
    ~CapturedOutput() {
        TakeOut();
        TakeErr();
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Ends that stream's capture and gives what was written to it; empty once taken.
    std::string TakeOut() {
        if (!out_) return {};
        out_ = false;
        return ::testing::internal::GetCapturedStdout();
    }
    std::string TakeErr() {
        if (!err_) return {};
        err_ = false;
        return ::testing::internal::GetCapturedStderr();
    }

private:
    bool out_ = true;
    bool err_;
};

}  // namespace velk::test
