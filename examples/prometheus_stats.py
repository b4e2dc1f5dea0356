"""Export the read counters of open stores and views to Prometheus.

    pip install prometheus_client     # optional: without it the counters are printed as a dict
    python examples/prometheus_stats.py                      # a small sample table, printed once
    python examples/prometheus_stats.py DIR --shards 128 --rows-per-shard 2500012 --width 64 --port 9400

A collector reads `stats()` at every scrape, so nothing is counted twice and
the read path pays nothing for the export. `Store.stats()` and
`View.stats()` may be called from the scrape thread.
"""

from __future__ import annotations

import argparse
import os
import random
import tempfile
import time
from collections.abc import Iterator
from typing import Any

import quandrel


class ReadStatsCollector:
    """Prometheus metrics for named stores and views, labelled `table`."""

    def __init__(self, tables: dict[str, quandrel.Store | quandrel.View]) -> None:
        self.tables = tables

    def collect(self) -> Iterator[Any]:
        from prometheus_client.core import CounterMetricFamily, HistogramMetricFamily

        calls = CounterMetricFamily("quandrel_read_calls", "Read calls that asked for rows",
                                    labels=["table"])
        rows = CounterMetricFamily("quandrel_read_rows", "Rows read, by where the read found them",
                                   labels=["table", "source"])
        size = CounterMetricFamily("quandrel_read_bytes", "Bytes returned", labels=["table"])
        cold = CounterMetricFamily("quandrel_read_cold_batches",
                                   "Calls that found rows on the device", labels=["table"])
        errors = CounterMetricFamily("quandrel_read_errors", "Calls that failed with an I/O error",
                                     labels=["table"])
        latency = HistogramMetricFamily("quandrel_read_latency_seconds", "Time of one read call",
                                        labels=["table"])
        for name, table in self.tables.items():
            s = table.stats()
            calls.add_metric([name], s["calls"])
            rows.add_metric([name, "memory"], s["rows_from_memory"])
            rows.add_metric([name, "device"], s["rows_from_device"])
            size.add_metric([name], s["bytes"])
            cold.add_metric([name], s["cold_batches"])
            errors.add_metric([name], s["read_errors"])
            # Prometheus buckets are cumulative; the last count is the "+Inf" one's share.
            buckets, seen = [], 0
            for bound_ns, count in zip(s["latency_buckets_ns"] + [None], s["latency_counts"]):
                seen += count
                buckets.append(("+Inf" if bound_ns is None else repr(bound_ns / 1e9), seen))
            latency.add_metric([name], buckets, sum_value=None)  # no sum is kept: not free
        yield from (calls, rows, size, cold, errors, latency)


def sample_table(directory: str) -> quandrel.Store:
    for shard in range(4):
        with open(os.path.join(directory, f"shard_{shard:03d}.bin"), "wb") as f:
            f.write(os.urandom(1000 * 64))
    return quandrel.Store(directory, 4, 1000, 64)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir", nargs="?", help="a store directory (default: a small sample)")
    parser.add_argument("--shards", type=int)
    parser.add_argument("--rows-per-shard", type=int)
    parser.add_argument("--width", type=int)
    parser.add_argument("--port", type=int, help="serve /metrics here, reading rows until stopped")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as sample:
        store = (quandrel.Store(args.dir, args.shards, args.rows_per_shard, args.width) if args.dir
                 else sample_table(sample))
        tables: dict[str, quandrel.Store | quandrel.View] = {"main": store}
        rng = random.Random(1)

        def serve_some() -> None:
            for _ in range(100):
                store.fetch([rng.randrange(store.total_rows) for _ in range(16)])

        serve_some()
        try:
            import prometheus_client
        except ImportError:
            print("prometheus_client is not installed; the counters:", store.stats())
            return 0
        registry = prometheus_client.CollectorRegistry()
        registry.register(ReadStatsCollector(tables))  # type: ignore[arg-type]
        if args.port is None:
            print(prometheus_client.generate_latest(registry).decode(), end="")
            return 0
        prometheus_client.start_http_server(args.port, registry=registry)
        print(f"serving http://localhost:{args.port}/metrics; Ctrl-C stops")
        try:
            while True:
                serve_some()
                time.sleep(0.1)
        except KeyboardInterrupt:
            return 0


if __name__ == "__main__":
    raise SystemExit(main())
