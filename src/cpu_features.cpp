// Detects the instruction sets of the builds the way the processor manuals
// prescribe: the CPUID feature bits alone are not enough, the operating
// system must also save the wider registers on context switches, which
// XGETBV reports (and XGETBV itself exists only when CPUID reports OSXSAVE).
#include "cpu_features.h"

#include <stddef.h>
#include <stdint.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

// Saved-state bits of XCR0: SSE, AVX, then the opmask registers and the upper
// halves of ZMM0-15 and ZMM16-31.
constexpr uint32_t XCR0_AVX = (1u << 1) | (1u << 2);
constexpr uint32_t XCR0_AVX512 = XCR0_AVX | (1u << 5) | (1u << 6) | (1u << 7);

static bool has_bits(uint32_t word, uint32_t bits) { return (word & bits) == bits; }

bool cpu_can_run(CpuBuild build) {
    if (build == CPU_BUILD_PORTABLE) return true;
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const uint32_t leaf1_ecx = ecx;
    // OSXSAVE and AVX; without OSXSAVE, XGETBV is an illegal instruction.
    if (!has_bits(leaf1_ecx, (1u << 27) | (1u << 28))) return false;
    uint32_t xcr0_low, xcr0_high;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    (void)xcr0_high;
    if (__get_cpuid_max(0, NULL) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const uint32_t leaf7_ebx = ebx;
    if (build == CPU_BUILD_AVX512) {
        // AVX512F and AVX512VL.
        return has_bits(xcr0_low, XCR0_AVX512) && has_bits(leaf7_ebx, (1u << 16) | (1u << 31));
    }
    // The x86-64-v3 level: FMA, MOVBE, POPCNT and F16C; AVX2, BMI1 and BMI2;
    // LZCNT.
    if (!has_bits(xcr0_low, XCR0_AVX) || !has_bits(leaf1_ecx, (1u << 12) | (1u << 22) | (1u << 23) | (1u << 29)) ||
        !has_bits(leaf7_ebx, (1u << 3) | (1u << 5) | (1u << 8))) {
        return false;
    }
    return __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) && has_bits(ecx, 1u << 5);
}
#else
// Other architectures have one build, which runs everywhere.
bool cpu_can_run(CpuBuild build) { return build == CPU_BUILD_PORTABLE; }
#endif
