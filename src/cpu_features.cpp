// Tells whether this processor and operating system can run the AVX-512
// build: the CPUID feature bits alone are not enough, the operating system
// must also save the 512-bit and mask registers on context switches, which
// XGETBV reports.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

static bool avx512_usable() {
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool osxsave = (ecx & (1u << 27)) != 0;
    if (!osxsave) return false;
    uint32_t xcr0_low, xcr0_high;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    // SSE, AVX, opmask, upper halves of ZMM0-15 and ZMM16-31.
    const uint32_t avx512_state = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    if ((xcr0_low & avx512_state) != avx512_state) return false;
    if (__get_cpuid_max(0, NULL) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool avx512f = (ebx & (1u << 16)) != 0;
    const bool avx512vl = (ebx & (1u << 31)) != 0;
    return avx512f && avx512vl;
}
#else
static bool avx512_usable() { return false; }
#endif

static PyObject* avx512_supported(PyObject* self, PyObject* args) {
    (void)self;
    (void)args;
    return PyBool_FromLong(avx512_usable());
}

static PyMethodDef CpuMethods[] = {
    {"avx512_supported", avx512_supported, METH_NOARGS,
     "True when the processor has AVX512F and AVX512VL and the operating system saves their registers."},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef cpumodule = {PyModuleDef_HEAD_INIT, "_cpu", NULL, -1, CpuMethods,
                                       NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__cpu(void) { return PyModule_Create(&cpumodule); }
