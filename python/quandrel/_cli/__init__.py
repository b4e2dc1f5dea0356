"""Command line: `python -m quandrel demo|inspect|check|bench|build|push|sync`."""

from __future__ import annotations

import argparse


def explain(e: OSError) -> str:
    """The error's text and the notes that say which file."""
    return str(e) + "".join(f" ({note})" for note in getattr(e, "__notes__", []))


def positive(text: str) -> int:
    value = int(text.replace("_", ""))
    if value <= 0:
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return value


def batch_sizes(text: str) -> list[int]:
    return [positive(part) for part in text.split(",")]


def add_table(p: argparse.ArgumentParser, required: bool = True) -> None:
    p.add_argument("dir", help="the store directory")
    p.add_argument("--shards", type=positive, required=required)
    p.add_argument("--rows-per-shard", type=positive, required=required)
    p.add_argument("--width", type=positive, required=required, help="bytes per row")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quandrel", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="build a sample store, compute row ids, fetch and check rows")

    p = commands.add_parser("inspect", help="describe a view file or a key file")
    p.add_argument("path")
    p.add_argument("--as", dest="kind", choices=["auto", "view", "keys"], default="auto",
                   help="how to read PATH (default: a key file if it parses as one, else a view)")

    p = commands.add_parser("check", help="check a store directory: every shard present, of full size")
    add_table(p, required=False)
    p.add_argument("--verify", action="store_true",
                   help="also read every chunk and compare its digest with the manifest's")

    p = commands.add_parser("bench", help="measure how fast this machine reads a store")
    add_table(p)
    p.add_argument("--batch", type=batch_sizes, default=[1, 16, 256, 4096],
                   help="comma-separated rows per fetch (default: 1,16,256,4096)")
    p.add_argument("--seconds", type=float, default=1.0, help="time per measurement (default: 1)")
    p.add_argument("--cold", action="store_true",
                   help="also measure cold reads, evicting the files from the page cache first")
    p.add_argument("--threads", type=positive, help="the store's threads (default: the library's)")
    p.add_argument("--seed", type=int, default=1, help="seed of the random row ids")

    p = commands.add_parser("build", help="write a table from a 2-D .npy array")
    p.add_argument("dir", help="the table directory to create")
    p.add_argument("--from", dest="source", required=True, metavar="TABLE.npy")
    p.add_argument("--shards", type=positive, required=True)
    p.add_argument("--rows-per-shard", type=positive,
                   help="rows in each shard (default: the fewest that hold every row)")

    p = commands.add_parser("push", help="upload a table to object storage as its newest version")
    p.add_argument("dir", help="the table's directory (with its quandrel-store.json)")
    p.add_argument("url", help="s3://BUCKET/PREFIX")
    p.add_argument("--endpoint-url", help="the server (default: AWS_ENDPOINT_URL, else AWS)")

    p = commands.add_parser("sync", help="make the newest version in object storage current here")
    p.add_argument("url", help="s3://BUCKET/PREFIX")
    p.add_argument("dir", help="the local directory of versions; DIR/current is the one to open")
    p.add_argument("--endpoint-url", help="the server (default: AWS_ENDPOINT_URL, else AWS)")
    p.add_argument("--keep", type=positive, default=2,
                   help="local versions to keep, the current one included (default: 2)")

    args = parser.parse_args(argv)
    if args.command == "demo":
        from . import demo
        return demo.run()
    if args.command == "inspect":
        from . import inspect
        return inspect.run(args.path, args.kind)
    if args.command == "check":
        from . import check
        return check.run(args.dir, args.shards, args.rows_per_shard, args.width, args.verify)
    if args.command == "build":
        from . import build
        return build.run(args.dir, args.source, args.shards, args.rows_per_shard)
    if args.command == "push":
        from . import push
        return push.run(args.dir, args.url, args.endpoint_url)
    if args.command == "sync":
        from . import sync
        return sync.run(args.url, args.dir, args.endpoint_url, args.keep)
    from . import bench
    return bench.run(args.dir, args.shards, args.rows_per_shard, args.width, args.batch,
                     args.seconds, args.cold, args.threads, args.seed)
