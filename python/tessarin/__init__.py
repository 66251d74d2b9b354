"""Multivariate two-sample Kolmogorov-Smirnov test over orthants."""
