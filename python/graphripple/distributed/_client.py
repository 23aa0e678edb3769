"""The client a distributed fit is given: dask.distributed imported with its
install hint, a client checked before any data moves, and data handed to the
workers so that the scheduler can make it again."""

from __future__ import annotations

import uuid
import warnings
from typing import Any

__all__ = ["connected_slots", "hand_over", "import_distributed", "import_zarr"]


def import_distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(
            "graphripple.distributed needs dask.distributed: pip install 'graphripple[dask]'") from error
    return distributed


def connected_slots(client: Any) -> dict[str, int]:
    """Worker threads of a running client; ValueError naming `client` when it is not connected."""
    status = getattr(client, "status", None)
    try:
        if status not in ("running", "connecting", "newly-created"):
            raise AttributeError
        nthreads: dict[str, int] = client.nthreads()
    except (AttributeError, OSError):
        raise ValueError(f"client must be a connected dask.distributed Client, not one whose status is {status!r}"
                         ) from None
    if not nthreads:
        raise ValueError("client has no workers")
    return nthreads


def import_zarr(out: Any) -> Any:
    """zarr, for an ``out`` that names a zarr store; an ImportError with the install hint without it."""
    try:
        import zarr
    except ImportError as error:
        raise ImportError(f"out={out!r} is a zarr store and needs zarr (pip install zarr)") from error
    return zarr


def hand_over(client: Any, pieces: list[Any], prefix: str) -> list[Any]:
    """Futures of pieces made here: each is the argument of a task rather than
    scattered data, so the scheduler can recompute it when the worker holding
    it is lost (scattered data would be gone for good)."""
    token = uuid.uuid4().hex
    with warnings.catch_warnings():
        # The pieces travel with their tasks on purpose; distributed warns about large graphs.
        warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
        futures = [client.submit(_same, piece, key=f"{prefix}-{token}-{p}", pure=False)
                   for p, piece in enumerate(pieces)]
    return futures


def _same(piece: Any) -> Any:
    return piece
