// Detects the instruction sets of the builds the way the processor manuals
// prescribe: the CPUID feature bits alone are not enough, the operating
// system must also save the wider registers on context switches, which
// XGETBV reports (and XGETBV itself exists only when CPUID reports OSXSAVE).
#include "cpu_features.h"

#include <stdint.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

void cpuid(int* info, int InfoType) {
    unsigned int a, b, c, d;
    __cpuid_count(InfoType, 0, a, b, c, d);
    info[0] = (int)a;
    info[1] = (int)b;
    info[2] = (int)c;
    info[3] = (int)d;
}

// Saved-state bits of XCR0: SSE, AVX, then the opmask registers and the upper
// halves of ZMM0-15 and ZMM16-31.
constexpr uint32_t XCR0_AVX = (1u << 1) | (1u << 2);
constexpr uint32_t XCR0_AVX512 = XCR0_AVX | (1u << 5) | (1u << 6) | (1u << 7);

static bool has_bits(uint32_t word, uint32_t bits) { return (word & bits) == bits; }

bool cpu_can_run(CpuBuild build) {
    if (build == CPU_BUILD_PORTABLE) return true;
    int info[4];
    cpuid(info, 0);
    const int standard_leaves = info[0];
    cpuid(info, (int)0x80000000);
    const uint32_t extended_leaves = (uint32_t)info[0];
    if (standard_leaves < 7) return false;
    cpuid(info, 1);
    const uint32_t leaf1_ecx = (uint32_t)info[2];
    // OSXSAVE and AVX; without OSXSAVE, XGETBV is an illegal instruction.
    if (!has_bits(leaf1_ecx, (1u << 27) | (1u << 28))) return false;
    uint32_t xcr0_low, xcr0_high;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    (void)xcr0_high;
    cpuid(info, 7);
    const uint32_t leaf7_ebx = (uint32_t)info[1];
    if (build == CPU_BUILD_AVX512) {
        // AVX512F and AVX512VL.
        return has_bits(xcr0_low, XCR0_AVX512) && has_bits(leaf7_ebx, (1u << 16) | (1u << 31));
    }
    // The x86-64-v3 level: FMA, MOVBE, POPCNT and F16C; AVX2, BMI1 and BMI2;
    // LZCNT.
    if (!has_bits(xcr0_low, XCR0_AVX) || !has_bits(leaf1_ecx, (1u << 12) | (1u << 22) | (1u << 23) | (1u << 29)) ||
        !has_bits(leaf7_ebx, (1u << 3) | (1u << 5) | (1u << 8)) || extended_leaves < 0x80000001u) {
        return false;
    }
    cpuid(info, (int)0x80000001);
    return has_bits((uint32_t)info[2], 1u << 5);
}
#else
void cpuid(int* info, int InfoType) {
    (void)InfoType;
    info[0] = info[1] = info[2] = info[3] = 0;
}

// Other architectures have one build, which runs everywhere.
bool cpu_can_run(CpuBuild build) { return build == CPU_BUILD_PORTABLE; }
#endif
