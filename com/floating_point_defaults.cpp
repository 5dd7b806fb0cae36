#include "com/floating_point_defaults.h"

#include <windows.h>

namespace {

constexpr std::uint16_t kX87Default = 0x027F;
// Precision, rounding and the six exception masks; the other bits have no say.
constexpr std::uint16_t kX87Controls = 0x0F3F;
// The six exception flags with their summary and busy bits: all that our
// arithmetic can leave behind in the status word.
constexpr std::uint16_t kX87Flags = 0x80BF;
constexpr std::uint32_t kMxcsrDefault = 0x1F80;
constexpr std::uint32_t kMxcsrFlags = 0x003F;

// The x87 environment as FNSTENV stores it in protected and long mode.
struct X87Environment {
    std::uint16_t control, reserved0, status, reserved1, tag, reserved2;
    std::uint32_t pointers[4];
};
static_assert(sizeof(X87Environment) == 28);

#if defined(__x86_64__)
constexpr bool kHasMxcsr = true;
#else
// Processors before the Pentium III have no MXCSR: reading it there is an
// invalid instruction.
const bool kHasMxcsr = IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != FALSE;
#endif

}  // namespace

FloatingPointDefaults::FloatingPointDefaults() noexcept {
    __asm__ __volatile__("fnstcw %0" : "=m"(x87Control_));
    if ((x87Control_ & kX87Controls) != (kX87Default & kX87Controls)) {
        __asm__ __volatile__("fnstsw %0" : "=m"(x87Status_));
        const std::uint16_t control = kX87Default;
        __asm__ __volatile__("fldcw %0" : : "m"(control) : "memory");
        x87Changed_ = true;
    }
    if (kHasMxcsr) {
        __asm__ __volatile__("stmxcsr %0" : "=m"(mxcsr_));
        if ((mxcsr_ & ~kMxcsrFlags) != kMxcsrDefault) {
            const std::uint32_t control = kMxcsrDefault | (mxcsr_ & kMxcsrFlags);
            __asm__ __volatile__("ldmxcsr %0" : : "m"(control) : "memory");
            mxcsrChanged_ = true;
        }
    }
}

FloatingPointDefaults::~FloatingPointDefaults() {
    if (x87Changed_) {
        std::uint16_t status;
        __asm__ __volatile__("fnstsw %0" : "=m"(status));
        if (status & ~x87Control_ & 0x3F) {
            // A flag that our arithmetic raised and that the caller has
            // unmasked would fault at the caller's next floating-point
            // instruction: the caller gets its own flags back.
            X87Environment environment;
            __asm__ __volatile__("fnstenv %0" : "=m"(environment));
            environment.control = x87Control_;
            environment.status =
                static_cast<std::uint16_t>((environment.status & ~kX87Flags) | (x87Status_ & kX87Flags));
            __asm__ __volatile__("fldenv %0" : : "m"(environment) : "memory");
        } else {
            __asm__ __volatile__("fldcw %0" : : "m"(x87Control_) : "memory");
        }
    }
    if (mxcsrChanged_) __asm__ __volatile__("ldmxcsr %0" : : "m"(mxcsr_) : "memory");
}
