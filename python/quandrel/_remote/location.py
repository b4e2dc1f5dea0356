"""Where a table lives in object storage: `s3://BUCKET/PREFIX`."""

from __future__ import annotations

from dataclasses import dataclass

from .manifest import MANIFEST_NAME


@dataclass(frozen=True)
class Location:
    bucket: str
    prefix: str  # without slashes at either end; may be empty

    @staticmethod
    def parse(url: str) -> Location:
        if not isinstance(url, str) or not url.startswith("s3://"):
            raise ValueError(f"not an s3:// URL: {url!r}")
        bucket, _, prefix = url[len("s3://"):].partition("/")
        if not bucket:
            raise ValueError(f"no bucket in {url!r}")
        return Location(bucket, prefix.strip("/"))

    def key(self, *parts: str) -> str:
        return "/".join(p for p in (self.prefix, *parts) if p)

    def newest_key(self) -> str:
        """The object that says which version is newest."""
        return self.key(MANIFEST_NAME)

    def url(self, key: str) -> str:
        return f"s3://{self.bucket}/{key}"
