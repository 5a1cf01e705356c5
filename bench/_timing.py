"""Shared timing helper: best-of-N wall time per call, and a printed ratio against a baseline."""

import time


def per_call(fn, *, number=2000, repeat=7):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def compare(label, native, baseline, **kwargs):
    """Times both in the same run and prints native time, baseline time and the speed ratio."""
    t_native = per_call(native, **kwargs)
    t_base = per_call(baseline, **kwargs)
    ratio = t_base / t_native
    print(f"{label:<44} native {t_native * 1e6:9.2f} us   python {t_base * 1e6:9.2f} us   speed-up x{ratio:5.2f}")
    return ratio
