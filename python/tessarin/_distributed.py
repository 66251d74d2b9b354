"""The test on a Dask cluster.

The core computes a test in parts: ``prepare`` loads a data set,
``partial`` computes the partial result of a block of units (corners, or
labellings where the dominance counts serve), ``merge`` combines two partial
results and ``finish`` turns the merged result of all units into the result
of the local call. Here the client sends the call's arrays to every worker
once, each worker process prepares the data set once and computes the blocks
it is given, and the client merges the partial results as they arrive and
finishes. Every worker draws the permutation samples from the same seed, so
all of them hold the labellings of the local call; a worker computes only
when the digest of its data set equals the client's.
"""
import threading
import uuid
from collections import OrderedDict

from ._dispatch import get_kernel

# A few blocks per worker thread balance the load without much per-task cost.
TASKS_PER_THREAD = 4
# Prepared data sets each worker process keeps, the most recently used ones.
_KEPT = 2
_prepared = OrderedDict()
_prepared_lock = threading.Lock()
_preparing = {}


def _require_distributed():
    try:
        import distributed
    except ImportError:
        raise ImportError("client= needs dask.distributed; install it with "
                          "pip install 'tessarin[distributed]'") from None
    return distributed


def _worker_prepared(token, payload):
    """The prepared data set of the call `token` in this process, loaded on
    first use; concurrent tasks of one call wait for one load."""
    with _prepared_lock:
        if token in _prepared:
            _prepared.move_to_end(token)
            return _prepared[token]
        lock = _preparing.setdefault(token, threading.Lock())
    with lock:
        with _prepared_lock:
            if token in _prepared:
                return _prepared[token]
        try:
            module = get_kernel(payload["kernel"])
            prepared = module.prepare(*payload["args"], **payload["kwargs"])
            entry = (module, prepared, module.describe(prepared)["digest"])
        except BaseException:
            with _prepared_lock:
                _preparing.pop(token, None)
            raise
        with _prepared_lock:
            _prepared[token] = entry
            while len(_prepared) > _KEPT:
                _prepared.popitem(last=False)
            _preparing.pop(token, None)
    return entry


def _worker_threads():
    from distributed import get_worker

    try:
        return max(1, int(get_worker().state.nthreads))
    except (ValueError, AttributeError):
        return 1


def partial_task(payload, token, digest, first, end):
    """Task: the partial result of the units [first, end) of the call
    `token`. Calls in one process take turns and each uses every thread of
    its worker. Refuses to compute when the worker's data set differs from
    the client's, whose digest is `digest`."""
    module, prepared, own = _worker_prepared(token, payload)
    if own != digest:
        raise RuntimeError("this Dask worker prepared another data set than the client (the points, the "
                           "permutation samples or the scan path differ): run the same version of tessarin "
                           "and the same TESSARIN_SCAN, everywhere")
    return module.partial(prepared, first, end, n_jobs=_worker_threads())


async def forget(token):
    """Drops the prepared data set of the call `token` from this process. A
    coroutine, so that the client can ask for it without waiting."""
    with _prepared_lock:
        _prepared.pop(token, None)


def blocks(units, block, count):
    """About `count` contiguous blocks of the units, their bounds multiples of
    `block` (but the last)."""
    whole = -(-units // block)
    count = max(1, min(count, whole))
    bounds = [min(units, (whole * i // count) * block) for i in range(count + 1)]
    return [(a, b) for a, b in zip(bounds, bounds[1:]) if a < b]


def check_workers(client, version):
    """Raises RuntimeError unless every worker imports this version of the
    package. The lookup is a function of the standard library, so a worker
    without the package can answer it."""
    import pkgutil

    if not hasattr(pkgutil, "resolve_name"):  # Python 3.8: the tasks fail instead
        return
    answers = client.run(pkgutil.resolve_name, "tessarin.__version__", on_error="return")
    missing = sorted(w for w, a in answers.items() if isinstance(a, BaseException))
    if missing:
        raise RuntimeError(f"tessarin cannot be imported on the Dask worker(s) {', '.join(missing)}: "
                           f"install tessarin {version} in every worker's environment")
    other = sorted(f"{w} ({a})" for w, a in answers.items() if a != version)
    if other:
        raise RuntimeError(f"the Dask worker(s) {', '.join(other)} run another version of tessarin "
                           f"than this client ({version}): install the same version everywhere")


def run(client, kernel, args, kwargs, threads):
    """The details dict of ``test(*args, **kwargs)``, computed on the workers
    of `client`. `kernel` is the build the caller forced, or None for each
    machine's fastest; `threads` is the client's thread count for the finish.
    An exception or interruption on the client cancels the cluster's tasks."""
    distributed = _require_distributed()
    from . import __version__

    module = get_kernel(kernel)
    prepared = module.prepare(*args, **kwargs)
    description = module.describe(prepared)
    if not client.nthreads():
        # An adaptive cluster starts its workers once there is work.
        client.wait_for_workers(1)
    check_workers(client, __version__)
    workers = sum(client.nthreads().values())
    token = uuid.uuid4().hex
    payload = {"kernel": kernel, "args": args, "kwargs": kwargs}
    futures = []
    try:
        [data] = client.scatter([payload], broadcast=True, hash=False)
        futures.append(data)
        parts = blocks(description["units"], description["block"], TASKS_PER_THREAD * workers)
        tasks = [client.submit(partial_task, data, token, description["digest"], a, b,
                               key=f"tessarin-partial-{token}-{i}")
                 for i, (a, b) in enumerate(parts)]
        futures.extend(tasks)
        merged = None
        for _, part in distributed.as_completed(tasks, with_results=True):
            merged = part if merged is None else module.merge(merged, part)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        try:
            client.run(forget, token, wait=False)
        except Exception:
            pass
    return module.finish(prepared, merged, n_jobs=threads)
