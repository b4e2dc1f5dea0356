"""The object-storage client: how it is configured, which failures are worth
another try, and what the others become.

Credentials, region and endpoint come from wherever the AWS SDKs look for
them (environment, shared files, instance metadata). No message built here
holds anything but bucket, key and the server's own error code, so that a
secret can never reach a log."""

from __future__ import annotations

import random
import time
from dataclasses import dataclass
from typing import Any, Callable, TypeVar

import boto3  # type: ignore
import botocore.config  # type: ignore
import botocore.exceptions  # type: ignore
import urllib3.exceptions

T = TypeVar("T")


@dataclass
class Retry:
    """Bounded exponential back-off: at most `attempts` tries, the waits
    doubling from `first_delay` up to `max_delay` (each with jitter)."""

    attempts: int = 6
    first_delay: float = 0.25
    max_delay: float = 8.0

    def delay(self, failures: int) -> float:
        base = min(self.max_delay, self.first_delay * 2.0 ** (failures - 1))
        return base * (0.5 + random.random() / 2)


RETRY = Retry()

_AUTH_CODES = {"AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch", "ExpiredToken",
               "InvalidToken", "AuthorizationHeaderMalformed", "AllAccessDisabled"}
_MISSING_CODES = {"NoSuchKey", "NoSuchBucket", "NotFound", "404"}
_THROTTLE_CODES = {"SlowDown", "Throttling", "ThrottlingException", "RequestTimeout",
                   "RequestLimitExceeded", "TooManyRequests", "ServiceUnavailable", "InternalError"}
# Failures of the connection itself, before or while a body arrives.
_NETWORK_ERRORS = (botocore.exceptions.HTTPClientError, botocore.exceptions.ConnectionError,
                   botocore.exceptions.IncompleteReadError, urllib3.exceptions.HTTPError,
                   ConnectionError, TimeoutError)


def make_client(endpoint_url: str | None, connections: int, sdk_retries: bool) -> Any:
    """A client shared by all threads of one command (clients are thread-safe).

    `sdk_retries` leaves retrying to the SDK, for the transfer manager's
    uploads; callers that retry through `call` switch it off so that the two
    do not multiply."""
    retries = ({"max_attempts": RETRY.attempts, "mode": "standard"} if sdk_retries
               else {"total_max_attempts": 1})
    config = botocore.config.Config(retries=retries, max_pool_connections=connections,
                                    connect_timeout=10, read_timeout=60)
    return boto3.session.Session().client("s3", endpoint_url=endpoint_url, config=config)


def _status_and_code(e: botocore.exceptions.ClientError) -> tuple[int, str]:
    response = e.response
    status = response.get("ResponseMetadata", {}).get("HTTPStatusCode", 0)
    return status, str(response.get("Error", {}).get("Code", status))


def is_transient(e: BaseException) -> bool:
    if isinstance(e, botocore.exceptions.ClientError):
        status, code = _status_and_code(e)
        return status >= 500 or status == 429 or code in _THROTTLE_CODES
    return isinstance(e, _NETWORK_ERRORS)


def translate(e: Exception, url: str) -> Exception:
    """The error a caller sees for a failure at `url` that is not retried."""
    if isinstance(e, (botocore.exceptions.NoCredentialsError,
                      botocore.exceptions.PartialCredentialsError)):
        return PermissionError(f"{url}: no usable credentials: set AWS_ACCESS_KEY_ID and "
                               "AWS_SECRET_ACCESS_KEY, or AWS_PROFILE")
    if isinstance(e, botocore.exceptions.ClientError):
        status, code = _status_and_code(e)
        if status in (401, 403) or code in _AUTH_CODES:
            return PermissionError(f"{url}: access denied ({code})")
        if status == 404 or code in _MISSING_CODES:
            what = "no such bucket" if code == "NoSuchBucket" else "no such object"
            return FileNotFoundError(f"{url}: {what}")
        return OSError(f"{url}: the server refused the request: {code} (HTTP {status})")
    if is_transient(e):
        return ConnectionError(f"{url}: {e}")
    return e


def call(fn: Callable[[], T], url: str) -> T:
    """Runs one request, retrying transient failures with back-off; any other
    failure, and the last transient one, raise at once as `translate` says."""
    started = time.monotonic()
    for attempt in range(1, RETRY.attempts + 1):
        try:
            return fn()
        except Exception as e:
            if not is_transient(e):
                raise translate(e, url) from e
            if attempt == RETRY.attempts:
                raise ConnectionError(
                    f"{url}: gave up after {attempt} attempts in "
                    f"{time.monotonic() - started:.1f} s: {e}") from e
            time.sleep(RETRY.delay(attempt))
    raise AssertionError("unreachable")
