"""Choice of the compiled build: AVX-512 where the machine can run it,
the portable build elsewhere, or the one named by ``TESSARIN_KERNEL``."""
import importlib
import os

KERNELS = ("avx512", "portable")
_chosen = {}


def avx512_supported():
    """True when the processor has AVX512F and AVX512VL and the operating
    system saves the 512-bit registers."""
    from . import _cpu

    return _cpu.avx512_supported()


def available_kernels():
    """The builds this machine can run, fastest first."""
    return tuple(k for k in KERNELS if k != "avx512" or avx512_supported())


def get_kernel(name=None):
    """The compiled module to compute with.

    Parameters
    ----------
    name : {None, "avx512", "portable"}
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
    elif name == "avx512" and not avx512_supported():
        raise RuntimeError(
            f"{source}='avx512' but this processor or operating system does not support "
            "AVX-512 (AVX512F and AVX512VL with saved 512-bit registers); use 'portable'"
        )
    if name not in _chosen:
        _chosen[name] = importlib.import_module("." + name, __package__)
    return _chosen[name]
