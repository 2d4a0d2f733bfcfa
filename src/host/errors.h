// Error kinds of the program.
//
// Every failure is an exception derived from velk::Exception, which carries the
// kind's name ("FileNotFoundException", ...) and a message. Nothing catches these
// except the two documented places (the display-mode list and the shader reload);
// an uncaught one ends the process with "Kind: message" on standard error and exit
// status 1, releasing nothing (see main.cpp).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velk {

class Exception : public std::runtime_error {
public:
    Exception(std::string message) : std::runtime_error(std::move(message)) {}
    // The kind's name, as written on standard error.
    virtual const char* Kind() const noexcept { return "Exception"; }
    std::string Message() const { return what(); }
};

#define VELK_ERROR_KIND(Name, Base)                                      \
    class Name : public Base {                                           \
    public:                                                              \
        using Base::Base;                                                \
        const char* Kind() const noexcept override { return #Name; }     \
    };

VELK_ERROR_KIND(SystemException, Exception)
VELK_ERROR_KIND(IOException, SystemException)
VELK_ERROR_KIND(FileNotFoundException, IOException)
VELK_ERROR_KIND(DirectoryNotFoundException, IOException)
VELK_ERROR_KIND(EndOfStreamException, IOException)
VELK_ERROR_KIND(UnauthorizedAccessException, SystemException)
VELK_ERROR_KIND(OutOfMemoryException, SystemException)
VELK_ERROR_KIND(InvalidOperationException, SystemException)
VELK_ERROR_KIND(NotSupportedException, SystemException)
VELK_ERROR_KIND(FormatException, SystemException)
VELK_ERROR_KIND(ArithmeticException, SystemException)
VELK_ERROR_KIND(OverflowException, ArithmeticException)
VELK_ERROR_KIND(IndexOutOfRangeException, SystemException)
VELK_ERROR_KIND(ArgumentException, SystemException)
VELK_ERROR_KIND(ArgumentNullException, ArgumentException)
VELK_ERROR_KIND(ArgumentOutOfRangeException, ArgumentException)
VELK_ERROR_KIND(InvalidDataException, SystemException)
VELK_ERROR_KIND(JsonException, Exception)

#undef VELK_ERROR_KIND

// A failed platform call that returns a result code (an HRESULT on Windows; the
// Linux layers use the same codes, E_FAIL and friends, with a readable reason).
class ComException : public Exception {
public:
    ComException(std::string message, int32_t code) : Exception(std::move(message)), code_(code) {}
    const char* Kind() const noexcept override { return "COMException"; }
    int32_t Code() const noexcept { return code_; }

private:
    int32_t code_;
};

// Common result codes, as the Windows platform defines them.
namespace hr {
constexpr int32_t S_OK_ = 0;
constexpr int32_t E_FAIL_ = static_cast<int32_t>(0x80004005u);
constexpr int32_t E_INVALIDARG_ = static_cast<int32_t>(0x80070057u);
constexpr int32_t E_OUTOFMEMORY_ = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t E_NOTIMPL_ = static_cast<int32_t>(0x80004001u);
}  // namespace hr

// "0x80004005": the code as eight upper-case hex digits.
std::string HResultText(int32_t code);

// Raises ComException "<what> failed: 0x........" (+ ": reason" when given) for a negative code.
void ThrowIfFailed(int32_t code, const std::string& what, const std::string& reason = {});

}  // namespace velk
