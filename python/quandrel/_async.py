"""`await handle`: reads announce their end on one descriptor that every
event loop awaiting a read watches, so no thread waits per handle."""

from __future__ import annotations

import asyncio
import concurrent.futures
import itertools
import weakref
from typing import Any

from . import _quandrel

# token -> the future of the task awaiting that read, in whichever loop. A
# future is in here before its read can post the token: a loop on another
# thread may drain it at once.
_waiting: dict[int, asyncio.Future[None]] = {}
_tokens = itertools.count(1)
# Loops that watch the descriptor, with the descriptor they watch (a forked
# child has another).
_watching: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, int] = weakref.WeakKeyDictionary()


def _settle(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _on_ready(loop: asyncio.AbstractEventLoop) -> None:
    for token in _quandrel._drain_completions():
        future = _waiting.pop(token, None)
        if future is None:
            continue
        owner = future.get_loop()
        if owner is loop:
            _settle(future)
        elif not owner.is_closed():
            # Announced on this loop's wake-up, awaited in another's.
            owner.call_soon_threadsafe(_settle, future)


def _watch(loop: asyncio.AbstractEventLoop) -> None:
    fd = _quandrel._completion_fd()
    if _watching.get(loop) != fd:
        loop.add_reader(fd, _on_ready, loop)
        _watching[loop] = fd


async def wait(handle: _quandrel.ReadHandle[Any]) -> Any:
    if not handle.done():
        loop = asyncio.get_running_loop()
        _watch(loop)
        future = loop.create_future()
        token = next(_tokens)
        _waiting[token] = future
        if not handle._notify(token):
            del _waiting[token]  # ended meanwhile: nothing will be posted
        else:
            try:
                await future
            except asyncio.CancelledError:
                _waiting.pop(token, None)
                handle.cancel()
                raise
    try:
        return handle.result()
    except concurrent.futures.CancelledError:
        raise asyncio.CancelledError() from None
