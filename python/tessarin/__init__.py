"""Multivariate two-sample Kolmogorov-Smirnov test over orthants.

``ks_2samp`` compares two samples of points in up to 63 dimensions. Every
point serves as a corner that splits the space into 2^d orthants; the
statistic is the largest difference between the two samples' shares of any
orthant. A permutation p-value and a binomial p-value are available on
request, computed on several threads. The result names the corner and
orthant where the samples differ most; ``plot_difference`` draws them.

The computation runs in one of three compiled builds of the same core:
``tessarin.avx512`` on x86-64 processors with AVX-512, ``tessarin.avx2`` on
those with AVX2 (the x86-64-v3 level) and ``tessarin.portable`` everywhere
else (with NEON on aarch64); all three give the same results bit for bit.
``get_kernel`` picks the fastest one the machine can run
(``TESSARIN_KERNEL`` forces one).
"""
from ._api import CancelToken, OrthantKSResult, ks_2samp
from ._dispatch import available_kernels, avx512_supported, get_kernel, kernel_supported
from ._plot import plot_difference

__all__ = ["ks_2samp", "OrthantKSResult", "CancelToken", "plot_difference", "get_kernel", "available_kernels",
           "avx512_supported", "kernel_supported"]
__version__ = "0.1.0"
