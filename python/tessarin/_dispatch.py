"""Choice of the compiled build: the widest instruction set the machine can
run (AVX-512, then AVX2, then the portable build), or the one named by
``TESSARIN_KERNEL``."""
import importlib
import json
import os

with open(os.path.join(os.path.dirname(__file__), "_builds.json"), encoding="utf-8") as _file:
    # Every build that CMake makes, widest instruction set first.
    BUILDS = tuple(json.load(_file)["builds"])
# The builds the dispatch picks from; the emulated ones are for the tests.
KERNELS = tuple(build["name"] for build in BUILDS if not build["emulated"])
EMULATED = tuple(build["name"] for build in BUILDS if build["emulated"])
_REQUIREMENTS = {build["name"]: build["requires"] for build in BUILDS}
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
