"""Cutting a long computation short with SIGALRM or SIGINT, and calls from
several interpreter threads at once."""
import contextlib
import multiprocessing
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import oracle
from conftest import SANITIZER, slowed


def long_data(kernel):
    """Data sets that load in milliseconds (int32 input is copied, not ranked,
    and the calls skip merging), so that the signal arrives during the scan,
    which takes many seconds: n >= 2^d runs the dense kernel, n < 2^d the
    sparse one; a million points keep the dominance counts busy for
    seconds."""
    rng = np.random.default_rng(0)
    if kernel == "dominance":
        return (rng.integers(0, 10**6, (5 * 10**5, 3), dtype=np.int32),
                rng.integers(0, 10**6, (5 * 10**5, 3), dtype=np.int32))
    if kernel == "dense":
        return (rng.integers(0, 10**6, (100000, 3), dtype=np.int32),
                rng.integers(0, 10**6, (100000, 3), dtype=np.int32))
    return rng.normal(size=(3000, 20)), rng.normal(size=(3000, 20))


@contextlib.contextmanager
def forced_scan(name):
    previous = os.environ.get("TESSARIN_SCAN")
    os.environ["TESSARIN_SCAN"] = name
    try:
        yield
    finally:
        if previous is None:
            del os.environ["TESSARIN_SCAN"]
        else:
            os.environ["TESSARIN_SCAN"] = previous


def assert_computes_normally(module):
    rng = np.random.default_rng(1)
    rvs, cdf = rng.integers(0, 5, (40, 3)), rng.integers(1, 6, (30, 3))
    assert module.test(rvs, cdf, n_jobs=2) == oracle.statistic(rvs, cdf)


@pytest.fixture
def own_handlers():
    """Python handlers of the caller for SIGALRM and SIGINT; the list records
    every signal that reaches them."""
    seen = []

    def record(signum, frame):
        seen.append(signum)

    previous = signal.signal(signal.SIGALRM, record), signal.signal(signal.SIGINT, record)
    yield record, seen
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous[0])
    signal.signal(signal.SIGINT, previous[1])


def interrupted_call(module, send, kernel="dense", n_jobs=1, limit=1.5):
    """The scan is forced, so that each kernel's polling is what stops it."""
    rvs, cdf = long_data(kernel)
    start = time.monotonic()
    send()
    with pytest.raises(RuntimeError) as info, forced_scan(kernel):
        module.test(rvs, cdf, n_jobs=n_jobs, deduplicate_data=False)
    assert str(info.value) == "Interrupted by signal"
    assert time.monotonic() - start < slowed(limit)


def assert_handlers_restored(record, seen):
    assert seen == []  # the signal that stopped the computation is not passed on
    assert signal.getsignal(signal.SIGALRM) is record and signal.getsignal(signal.SIGINT) is record
    # The process-level handlers are the interpreter's again, so both signals reach ours.
    os.kill(os.getpid(), signal.SIGALRM)
    os.kill(os.getpid(), signal.SIGINT)
    deadline = time.monotonic() + 1
    while len(seen) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sorted(seen) == sorted([signal.SIGALRM, signal.SIGINT])


class TestInterruption:
    @pytest.mark.parametrize("kernel", ["dense", "sparse", "dominance"])
    @pytest.mark.parametrize("n_jobs", [1, 2])
    def test_interval_timer(self, module, own_handlers, kernel, n_jobs):
        interrupted_call(module, lambda: signal.setitimer(signal.ITIMER_REAL, slowed(0.2)), kernel, n_jobs,
                         limit=2.5 if kernel == "dominance" else 1.5)
        assert_handlers_restored(*own_handlers)
        assert_computes_normally(module)

    def test_dominance_counts_stop_promptly(self, module, own_handlers):
        # Alarms spread over a call of a second or two, from the ranking
        # through the bucketed sweeps to the three-dimensional merges: each
        # phase polls often enough that the call ends soon after (within a
        # few milliseconds as a rule; the bound leaves room for a busy host).
        rvs, cdf = long_data("dominance")
        seen = own_handlers[1]
        stopped = 0
        for delay in map(slowed, (0.1, 0.15, 0.3, 0.6, 0.9, 1.2)):
            start = time.monotonic()
            signal.setitimer(signal.ITIMER_REAL, delay)
            try:
                with forced_scan("dominance"):
                    module.test(rvs, cdf, n_jobs=2, deduplicate_data=False)
            except RuntimeError as e:
                assert str(e) == "Interrupted by signal"
                assert time.monotonic() - start - delay < slowed(0.2), delay
                stopped += 1
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            # An alarm during loading goes to the caller's handler, and the
            # call runs to its end.
            seen.clear()
        assert stopped >= 4

    def test_long_groups_of_labellings_stop_promptly(self, module, own_handlers):
        # One group of 32 corners with 64 labellings over 80000 points is
        # many milliseconds of work, polled inside. The alarm repeats, so one
        # arrives once loading is done, whenever that is.
        rng = np.random.default_rng(3)
        rvs = rng.integers(0, 10**6, (40000, 2), dtype=np.int32)
        cdf = rng.integers(0, 10**6, (40000, 2), dtype=np.int32)
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0.3, 0.1)
        with pytest.raises(RuntimeError, match="Interrupted by signal"), forced_scan("labellings"):
            module.test(rvs, cdf, permutation_samples=63, seed=1, deduplicate_data=False)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert time.monotonic() - start < slowed(3.0)

    def test_labellings_drawn_side_by_side_stop_promptly(self, module):
        # A million draws a labelling from 1000 weighted points: seconds of
        # drawing, which the calling thread shares out while it polls. The
        # loader holds the interpreter, so the handler's exception ends it.
        class Alarm(Exception):
            pass

        def raise_alarm(signum, frame):
            raise Alarm

        rng = np.random.default_rng(4)
        rvs, cdf = rng.integers(0, 10**6, (1000, 2), dtype=np.int32), rng.integers(0, 10**6, (1000, 2), dtype=np.int32)
        weights = np.full(1000, 1000)
        previous = signal.signal(signal.SIGALRM, raise_alarm)
        try:
            start = time.monotonic()
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            with pytest.raises(Alarm):
                module.test(rvs, cdf, counts_rvs=weights, counts_cdf=weights, permutation_samples=200, seed=1,
                            n_jobs=2)
            assert time.monotonic() - start < slowed(1.5)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert_computes_normally(module)

    def test_sigint_from_another_thread(self, module, own_handlers):
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        interrupted_call(module, timer.start, n_jobs=2)
        timer.join()
        assert_handlers_restored(*own_handlers)
        assert_computes_normally(module)

    def test_alarm(self, module, own_handlers):
        interrupted_call(module, lambda: signal.alarm(1), n_jobs=2, limit=2.5)
        assert_handlers_restored(*own_handlers)
        assert_computes_normally(module)


class TestConcurrentCalls:
    def test_threads_get_their_own_results(self, module, own_handlers):
        rng = np.random.default_rng(2)
        jobs = []
        for d in (0, 1, 2, 3, 5, 8, 17):
            rvs, cdf = rng.integers(0, 4, (35, d)), rng.integers(1, 5, (28, d))
            jobs.append(((rvs, cdf), dict(n_jobs=1 + d % 3), oracle.statistic(rvs, cdf)))
        # Heavier calls, so that the calls overlap.
        for kernel_d in (2, 14):
            rvs, cdf = rng.normal(size=(800, kernel_d)), rng.normal(0.2, 1.0, size=(800, kernel_d))
            jobs.append(((rvs, cdf), dict(n_jobs=2), module.test(rvs, cdf, n_jobs=2)))
        bad = np.arange(5)
        jobs.append(((bad, bad), {}, ValueError("rvs should be two dimensional (not 1)")))

        def run(job):
            args, kwargs, _ = job
            try:
                return module.test(*args, **kwargs)
            except ValueError as error:
                return error

        with ThreadPoolExecutor(6) as pool:
            results = list(pool.map(run, jobs * 4))
        for (_, _, want), got in zip(jobs * 4, results):
            if isinstance(want, Exception):
                assert type(got) is type(want) and str(got) == str(want)
            else:
                assert got == want
        # Overlapping calls must not leave one another's signal handlers behind.
        assert_handlers_restored(*own_handlers)


class BackgroundCall:
    """A long computation on another thread, stopped through its cancel flag."""

    def __init__(self, module, kernel="dense"):
        self.flag = bytearray(1)
        self.module, self.outcome = module, None
        rvs, cdf = long_data(kernel)
        self.thread = threading.Thread(target=self.run, args=(rvs, cdf), daemon=True)
        self.thread.start()

    def run(self, rvs, cdf):
        try:
            self.outcome = self.module.test(rvs, cdf, n_jobs=2, deduplicate_data=False, cancel=self.flag)
        except RuntimeError as error:
            self.outcome = error

    def cancel_and_join(self, limit=1.5):
        assert self.thread.is_alive(), f"the call ended early: {self.outcome!r}"
        start = time.monotonic()
        self.module.cancel(self.flag)
        self.thread.join(slowed(10))
        assert time.monotonic() - start < slowed(limit)
        assert str(self.outcome) == "Cancelled by the caller"


def fork_child(module, queue):
    queue.put(module.test(np.array([[0], [1], [2]]), np.array([[5], [6]])))


@pytest.fixture
def scan_of_all_pairs(monkeypatch):
    """The general scan, so that the long data sets take seconds even in the
    dimensions where the dominance counts would finish at once."""
    monkeypatch.setenv("TESSARIN_SCAN", "general")


@pytest.mark.usefixtures("scan_of_all_pairs")
class TestOtherThreads:
    """Calls from threads other than the main one leave the signals to the
    process and are stopped through their cancel flag."""

    def test_main_thread_keeps_its_signals(self, module, own_handlers):
        record, seen = own_handlers
        calls = [BackgroundCall(module), BackgroundCall(module, "sparse")]
        time.sleep(0.3)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        deadline = time.monotonic() + 5
        while len(seen) < 20 and time.monotonic() < deadline:
            time.sleep(0.01)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert len(seen) >= 20 and set(seen) == {signal.SIGALRM}
        for call in calls:
            call.cancel_and_join()
        assert signal.getsignal(signal.SIGALRM) is record
        assert_computes_normally(module)

    def test_flag_set_before_the_call(self, module):
        flag = bytearray(1)
        module.cancel(flag)
        rvs, cdf = long_data("dense")
        start = time.monotonic()
        with pytest.raises(RuntimeError, match="^Cancelled by the caller$"):
            module.test(rvs, cdf, deduplicate_data=False, cancel=flag)
        assert time.monotonic() - start < slowed(1.5)

    @pytest.mark.parametrize("flag, error", [(b"\0", BufferError), (bytearray(0), ValueError),
                                             ("x", TypeError)])
    def test_bad_flags(self, module, flag, error):
        with pytest.raises(error):
            module.test(np.array([[0]]), np.array([[1]]), cancel=flag)

    @pytest.mark.skipif(SANITIZER == "thread",
                        reason="ThreadSanitizer does not start threads after a multi-threaded fork")
    @pytest.mark.filterwarnings("ignore::DeprecationWarning")
    def test_fork_while_another_thread_computes(self, module):
        call = BackgroundCall(module)
        try:
            time.sleep(0.3)
            context = multiprocessing.get_context("fork")
            queue = context.Queue()
            child = context.Process(target=fork_child, args=(module, queue))
            child.start()
            try:
                assert queue.get(timeout=20) == 1.0
            finally:
                child.join(5)
                if child.is_alive():
                    child.kill()
        finally:
            call.cancel_and_join()


class Alarm(Exception):
    pass


@pytest.mark.usefixtures("scan_of_all_pairs")
class TestHandOver:
    """A signal at any moment of a main-thread call, from the reading of the
    input through the start of the computation, ends it promptly: with the
    interpreter's exception (here the handler's own) while loading, with
    "Interrupted by signal" after. The interval timer fires without the
    interpreter lock, which loading holds throughout."""

    @pytest.mark.parametrize("delay", [0.02, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.8, 1.0])
    def test_signal_at_any_moment(self, module, delay):
        def raise_alarm(signum, frame):
            raise Alarm

        previous = signal.signal(signal.SIGALRM, raise_alarm)
        # Ranking and merging 10^6 doubles take a few tenths of a second; the
        # scan that follows would take hours.
        rng = np.random.default_rng(3)
        rvs, cdf = rng.normal(size=(5 * 10**5, 1)), rng.normal(size=(5 * 10**5, 1))
        try:
            start = time.monotonic()
            signal.setitimer(signal.ITIMER_REAL, delay)
            with pytest.raises((Alarm, RuntimeError)) as info:
                module.test(rvs, cdf)
            assert time.monotonic() - start - delay < slowed(1.0)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        if info.type is RuntimeError:
            assert str(info.value) == "Interrupted by signal"
