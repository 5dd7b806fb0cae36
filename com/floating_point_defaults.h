// The caller's floating-point state is the caller's: Delphi, C++Builder and
// mingw-built programs run the x87 at 64-bit precision (a product is then not
// rounded to a double before it is truncated), Delphi programs unmask the
// overflow, invalid-operation and zero-divide exceptions, and any program may
// change the rounding mode. Our arithmetic and the platform's date and number
// conversions give the x64 build's answers only in the state that MSVC-built
// hosts run in, the platform's default; this scope sets it and gives the
// caller's own back on exit.
#pragma once

#include <cstdint>

// For its lifetime: x87 at 53-bit precision, round to nearest, every exception
// masked (control word 0x027F); SSE round to nearest, every exception masked,
// no flush to zero (MXCSR 0x1F80). A state that is already the default is only
// read; a changed one is written back on exit, with the flags it had wherever
// a flag that our arithmetic raised would fire one of the caller's unmasked
// exceptions.
class FloatingPointDefaults {
public:
    FloatingPointDefaults() noexcept;
    ~FloatingPointDefaults();
    FloatingPointDefaults(const FloatingPointDefaults&) = delete;
    FloatingPointDefaults& operator=(const FloatingPointDefaults&) = delete;

private:
    std::uint16_t x87Control_ = 0;
    std::uint16_t x87Status_ = 0;
    std::uint32_t mxcsr_ = 0;
    bool x87Changed_ = false;
    bool mxcsrChanged_ = false;
};
