"""Plain-Python versions of native modules, written the way the module would be in Python: the
baselines the benchmarks measure the native modules against."""
