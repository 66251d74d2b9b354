"""The test on a Dask cluster of worker processes on this machine: the same
result as the local call, through lost workers and interruptions."""
import _thread
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import tessarin
from conftest import slowed
from tessarin import _distributed

distributed = pytest.importorskip("distributed")

# Each cluster's scheduler serves its health pages on a free loopback port
# when the usual one is taken, and says so.
pytestmark = pytest.mark.filterwarnings("ignore:Port .* is already in use:UserWarning")


def local_cluster(workers):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                    dashboard_address=None)


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def points(seed, d, n, m):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, d)), rng.normal(loc=0.05, size=(m, d))


def partial_tasks(client, wait=10):
    """The keys of this package's tasks that the scheduler still holds after
    up to `wait` seconds; released futures leave it shortly after."""
    deadline = time.monotonic() + wait
    while True:
        keys = client.run_on_scheduler(
            lambda dask_scheduler: [k for k in dask_scheduler.tasks if str(k).startswith("tessarin-partial")])
        if not keys or time.monotonic() > deadline:
            return keys
        time.sleep(0.05)


def when_busy(client, worker, action):
    """A started thread that runs `action` once `worker` (None: any worker)
    has been computing a block of this package for a moment; its `done`
    event tells whether it did."""

    def watch():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            processing = client.processing(workers=None if worker is None else [worker])
            if any(str(k).startswith("tessarin-partial") for keys in processing.values() for k in keys):
                time.sleep(0.2)
                action()
                thread.done.set()
                return
            time.sleep(0.02)

    thread = threading.Thread(target=watch)
    thread.done = threading.Event()
    thread.start()
    return thread


class TestSameResult:
    @pytest.mark.parametrize("d,perms,binomial,split", [
        (2, 40, True, "labellings"),
        (2, 0, False, "labellings"),
        (5, 20, True, "corners"),
        (5, 0, False, "corners"),
        (30, 6, True, "corners"),
    ])
    def test_details_match_the_local_call(self, client, d, perms, binomial, split):
        x, y = points(d, d, 600, 500)
        args = dict(cdf=y, permutation_samples=perms, binomial_significance=binomial, seed=17, details=True,
                    n_jobs=1)
        local = tessarin.get_kernel().test(x, **args)
        with distributed.get_task_stream(client) as stream:
            remote = _distributed.run(client, None, (x,), args, 1)
        assert remote == local
        ran = [t for t in stream.data if t["key"].startswith("tessarin-partial")]
        workers = {t["worker"] for t in ran}
        # The corners split into several blocks on both workers; a single
        # labelling of the dominance counts is one block.
        if split == "corners" or perms:
            assert len(ran) > 2 and len(workers) == 2
        assert partial_tasks(client) == []

    def test_result_object(self, client):
        x, y = points(1, 4, 300, 250)
        kwargs = dict(weights_x=np.arange(300) % 4, permutations=15, binomial=True, combine="mean", scale=True,
                      resample="bootstrap", seed=3)
        local = tessarin.ks_2samp(x, y, **kwargs)
        remote = tessarin.ks_2samp(x, y, client=client, n_jobs=2, **kwargs)
        assert remote.binomial_pvalue == pytest.approx(local.binomial_pvalue, abs=1e-12)
        with pytest.raises(ValueError, match="serve local calls"):
            tessarin.ks_2samp(x, y, client=client, progress=True)
        assert remote == type(local)(**dict(local.__dict__, binomial_pvalue=remote.binomial_pvalue,
                                            pvalue=remote.pvalue))


class TestFailures:
    def test_lost_worker_changes_nothing(self, client):
        # A second or more of work, so that the worker dies while its blocks run.
        x, y = points(2, 5, 8000, 8000)
        args = dict(cdf=y, permutation_samples=7, binomial_significance=True, seed=5, details=True, n_jobs=1)
        local = tessarin.get_kernel().test(x, **args)
        pids = client.run(os.getpid)
        victim = sorted(pids)[0]
        killer = when_busy(client, victim, lambda: os.kill(pids[victim], signal.SIGKILL))
        try:
            remote = _distributed.run(client, None, (x,), args, 1)
        finally:
            killer.join()
            # The dead worker gone and its replacement registered, so that
            # the next test starts with two live workers.
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                workers = client.scheduler_info()["workers"]
                if victim not in workers and len(workers) == 2:
                    break
                time.sleep(0.05)
        assert killer.done.is_set()
        assert remote == local

    def test_interrupt_cancels_the_tasks(self, client):
        # About four seconds of one thread's work, on two workers: a second in,
        # blocks are running. The interrupt is repeated until the call ends;
        # in about one full run of the suite in three, waiting to see a block
        # in the scheduler's processing list and interrupting once let the
        # call finish untouched.
        x, y = points(3, 6, 12000, 12000)
        lock, stop = threading.Lock(), threading.Event()

        def interrupt():
            time.sleep(1.0)
            while True:
                with lock:
                    if stop.is_set():
                        return
                    _thread.interrupt_main()
                    interrupter.done.set()
                time.sleep(0.25)

        interrupter = threading.Thread(target=interrupt)
        interrupter.done = threading.Event()
        interrupter.start()
        started = time.monotonic()
        try:
            with pytest.raises(KeyboardInterrupt):
                tessarin.ks_2samp(x, y, permutations=9, binomial=True, seed=1, client=client)
        finally:
            try:
                with lock:
                    stop.set()
                time.sleep(0)  # where an interrupt sent meanwhile surfaces
            except KeyboardInterrupt:
                pass
        interrupter.join()
        assert interrupter.done.is_set()
        assert time.monotonic() - started < slowed(10)
        assert partial_tasks(client) == []
        # The cluster serves the next call as before.
        x, y = points(4, 3, 200, 200)
        assert tessarin.ks_2samp(x, y, client=client) == tessarin.ks_2samp(x, y)

    def test_worker_with_another_data_set(self, client):
        # Forcing the scans of all pairs on the workers splits the work by
        # corners where the client splits it by labellings.
        def scan_path(value):
            if value is None:
                os.environ.pop("TESSARIN_SCAN", None)
            else:
                os.environ["TESSARIN_SCAN"] = value

        x, y = points(5, 2, 300, 300)
        client.run(scan_path, "scan")
        try:
            with pytest.raises(RuntimeError, match="prepared another data set"):
                tessarin.ks_2samp(x, y, permutations=20, seed=2, client=client)
        finally:
            client.run(scan_path, None)
        assert partial_tasks(client) == []

    def test_worker_without_the_package(self):
        def forbid():
            sys.modules["tessarin"] = None

        with local_cluster(1) as cluster, distributed.Client(cluster) as client:
            client.run(forbid)
            with pytest.raises(RuntimeError, match="cannot be imported on the Dask worker"):
                tessarin.ks_2samp([[0, 1], [1, 2]], [[2, 3]], client=client)
