"""Multivariate two-sample Kolmogorov-Smirnov test over orthants.

``ks_2samp`` compares two samples of points in up to 63 dimensions. Every
point serves as a corner that splits the space into 2^d orthants; the
statistic is the largest difference between the two samples' shares of any
orthant. A permutation p-value and a binomial p-value are available on
request, computed on several threads.

The computation runs in one of two compiled builds of the same core:
``tessarin.avx512`` on processors with AVX-512 and ``tessarin.portable``
everywhere else; ``get_kernel`` picks one (``TESSARIN_KERNEL`` forces it).
"""
from ._api import CancelToken, OrthantKSResult, ks_2samp
from ._dispatch import available_kernels, avx512_supported, get_kernel

__all__ = ["ks_2samp", "OrthantKSResult", "CancelToken", "get_kernel", "available_kernels", "avx512_supported"]
__version__ = "0.1.0"
