"""What the benchmarks share: a description of the machine and the timing loop."""

from __future__ import annotations

import importlib.util
import os
import platform
import statistics
import time

import numpy as np


def load_build(name: str, path: str):
    """Another build's extension module from `path`, beside the installed one."""
    found = importlib.util.spec_from_file_location(name + "._quandrel", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def machine() -> str:
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{model}, {os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable), "
            f"python {platform.python_version()}, numpy {np.__version__}")


def measure(impls: dict, inputs: list, budget_s: float, rounds: int = 5) -> dict:
    """Median and minimum ns per call of each implementation.

    Fast calls are timed in loops of at least ~50 us and divided, so that the
    clock's own cost does not dominate. The implementations take turns over
    `rounds` rounds, so that drift on a shared machine hits all of them alike.
    """
    inner = {}
    for name, fn in impls.items():
        fn(inputs[0])
        t0 = time.perf_counter_ns()
        fn(inputs[0])
        inner[name] = max(1, 50_000 // max(1, time.perf_counter_ns() - t0))
    samples = {name: [] for name in impls}
    i = 0
    for _ in range(rounds):
        for name, fn in impls.items():
            deadline = time.perf_counter_ns() + budget_s * 1e9 / rounds / len(impls)
            taken = 0
            while taken < 3 or time.perf_counter_ns() < deadline:
                arg = inputs[i % len(inputs)]
                i += 1
                t0 = time.perf_counter_ns()
                for _ in range(inner[name]):
                    fn(arg)
                samples[name].append((time.perf_counter_ns() - t0) / inner[name])
                taken += 1
    return {name: (statistics.median(s), min(s), len(s) * inner[name]) for name, s in samples.items()}


def memmap_gather(maps, rows_per_shard: int, ids: np.ndarray, out: np.ndarray) -> np.ndarray:
    """The numpy peer of a sharded gather: fancy indexing per shard memmap,
    scattered back to request order into `out` (len(ids) rows)."""
    shard, local = np.divmod(ids, rows_per_shard)
    order = np.argsort(shard, kind="stable")
    present, starts = np.unique(shard[order], return_index=True)
    ends = np.append(starts[1:], len(order))
    for s, lo, hi in zip(present.tolist(), starts.tolist(), ends.tolist()):
        pos = order[lo:hi]
        out[pos] = maps[s][local[pos]]
    return out
