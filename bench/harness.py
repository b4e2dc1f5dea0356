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


def write_store(directory: str, shards: int, rows: int, width: int, seed: int) -> list[str]:
    """Shard files of random rows in `directory`; returns their paths."""
    rng = np.random.default_rng(seed)
    paths = []
    for s in range(shards):
        path = os.path.join(directory, f"shard_{s:03d}.bin")
        with open(path, "wb") as f:
            f.write(rng.bytes(rows * width))
        paths.append(path)
    return paths


def warm(paths: list[str]) -> None:
    """Reads the files whole, so that their pages are in the page cache."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def batch_header(item: str, impl_width: int, base_label: str) -> None:
    """The header of a table of batch sizes by implementation (see batch_rows)."""
    header = (f"{'batch':>6} {'impl':>{impl_width}} {item + '/s':>13} {'median/call':>13} "
              f"{'min/call':>13} {'calls':>8}  time/{base_label}")
    print(header)
    print("-" * len(header))


def batch_rows(n: int, res: dict, base: str, impl_width: int) -> None:
    """The rows of one batch size: items per second and time per call of each
    implementation, and its time against `base`'s."""
    for name, (med, lo, calls) in res.items():
        tail = f"  {med / res[base][0]:.2f}x" if name != base else ""
        print(f"{n:>6} {name:>{impl_width}} {n / med * 1e9:>13,.0f} {med / 1e3:>10.1f} us "
              f"{lo / 1e3:>10.1f} us {calls:>8}{tail}")


def machine() -> str:
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{model}, {os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable), "
            f"python {platform.python_version()}, numpy {np.__version__}")


class StolenTime:
    """The share of the machine's CPU time its hypervisor gave to others
    (/proc/stat's steal) between start and `share()`: on a shared virtual
    machine it decides how far two runs of the same code can be compared."""

    def __init__(self):
        self.start = self._counters()

    @staticmethod
    def _counters():
        try:
            with open("/proc/stat") as f:
                return [int(x) for x in f.readline().split()[1:9]]
        except (OSError, ValueError):
            return None

    def share(self) -> str:
        end = self._counters()
        if self.start is None or end is None or len(end) < 8:
            return "unknown"
        delta = [b - a for a, b in zip(self.start, end)]
        return f"{delta[7] / max(1, sum(delta)):.0%}"


def measure(impls: dict, inputs: list, budget_s: float, rounds: int = 5) -> dict:
    """Median and minimum ns per call of each implementation.

    Fast calls are timed in loops of at least ~50 us and divided, so that the
    clock's own cost does not dominate. The implementations take turns over
    `rounds` rounds, so that drift on a shared machine hits all of them alike.
    """
    inner = {}
    for name, fn in impls.items():
        fn(inputs[0])
        # Sized on a run of calls, not on one: a single call preempted (or
        # slow for being the first after other work) would leave loops of a
        # call or two, each then charged with a clock read, which costs up
        # to a microsecond on a virtual machine.
        calls, took = 1, 0
        while True:
            t0 = time.perf_counter_ns()
            for j in range(calls):
                fn(inputs[j % len(inputs)])
            took = time.perf_counter_ns() - t0
            if took >= 50_000 or calls >= 1 << 16:
                break
            calls *= 2
        inner[name] = max(1, calls * 50_000 // max(1, took))
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
