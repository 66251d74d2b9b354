// Which builds of the kernels this processor and operating system can run.
// The one detection shared by every module's own check and, through the `_cpu`
// module, by the Python dispatch, the tests and the benchmarks.
#ifndef TESSARIN_CPU_FEATURES_H
#define TESSARIN_CPU_FEATURES_H

// The builds, from the narrowest instruction set to the widest.
enum CpuBuild { CPU_BUILD_PORTABLE, CPU_BUILD_AVX2, CPU_BUILD_AVX512 };

// Executes CPUID with leaf InfoType and sub-leaf 0 and stores EAX, EBX, ECX
// and EDX in info[0] to info[3]; all zero off x86.
void cpuid(int* info, int InfoType);

// True when every instruction the build's kernels may use is present and the
// operating system saves the vector registers they use on context switches.
[[nodiscard]] bool cpu_can_run(CpuBuild build);

#endif
