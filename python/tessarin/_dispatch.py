"""Choice of the compiled build: the widest instruction set the machine can
run (AVX-512, then AVX2, then the portable build), or the one named by
``TESSARIN_KERNEL``."""
import importlib
import os

KERNELS = ("avx512", "avx2", "portable")
_REQUIREMENTS = {
    "avx512": "AVX512F and AVX512VL with saved 512-bit registers",
    "avx2": "the x86-64-v3 level: AVX2, FMA, BMI1, BMI2 and LZCNT with saved 256-bit registers",
    "portable": "nothing",
}
_chosen = {}


def kernel_supported(name):
    """True when this processor and operating system can run the build
    `name` ("avx512", "avx2" or "portable")."""
    from . import _cpu

    return _cpu.can_run(name)


def avx512_supported():
    """True when the processor has AVX512F and AVX512VL and the operating
    system saves the 512-bit registers."""
    return kernel_supported("avx512")


def available_kernels():
    """The builds this machine can run, fastest first."""
    return tuple(k for k in KERNELS if kernel_supported(k))


def get_kernel(name=None):
    """The compiled module to compute with.

    Parameters
    ----------
    name : {None, "avx512", "avx2", "portable"}
        A build to force, in any case. None reads ``TESSARIN_KERNEL`` and, when it is unset
        or empty, picks the fastest build the machine can run.

    Raises
    ------
    ValueError
        The name is not a known build.
    RuntimeError
        The named build cannot run on this machine.
    """
    if name is None:
        name = os.environ.get("TESSARIN_KERNEL", "").strip().lower() or None
        source = "TESSARIN_KERNEL"
    else:
        source = "kernel"
        name = name.strip().lower() if isinstance(name, str) else name
    if name is None:
        name = available_kernels()[0]
    elif name not in KERNELS:
        raise ValueError(f"{source} must be one of {', '.join(KERNELS)} (got {name!r})")
    elif not kernel_supported(name):
        raise RuntimeError(
            f"{source}={name!r} but this processor or operating system does not support it "
            f"(it needs {_REQUIREMENTS[name]}); use one of {', '.join(available_kernels())}"
        )
    if name not in _chosen:
        _chosen[name] = importlib.import_module("." + name, __package__)
    return _chosen[name]
