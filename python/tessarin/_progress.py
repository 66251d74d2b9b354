"""A progress bar for long computations: a thread of its own polls the
compiled module's ``progress()`` counter while the computation runs with the
interpreter lock released, and draws tqdm's bar when tqdm is installed, else
a one-line meter on standard error."""
import signal
import sys
import threading
import time
from contextlib import contextmanager

# Seconds before a bar appears (shorter computations show none) and between
# two readings of the counter.
DELAY = 1.0
INTERVAL = 0.1


class _LineMeter:
    """A one-line meter redrawn in place with a carriage return."""

    WIDTH = 30

    def __init__(self, done, total, file):
        self.total, self.file, self.start = total, file, time.monotonic()

    def update(self, done, total):
        self.total = total
        fraction = min(done / total, 1.0) if total else 1.0
        filled = int(fraction * self.WIDTH)
        self.file.write(f"\rks_2samp [{'#' * filled}{'.' * (self.WIDTH - filled)}] {fraction:4.0%} "
                        f"{done}/{total} {time.monotonic() - self.start:.1f} s")
        self.file.flush()

    def close(self):
        self.file.write("\n")
        self.file.flush()


class _TqdmMeter:
    def __init__(self, done, total, file):
        from tqdm import tqdm

        self.bar = tqdm(total=total, initial=done, file=file, desc="ks_2samp", unit="step", leave=True)

    def update(self, done, total):
        if total != self.bar.total:
            self.bar.total = total
        self.bar.n = done
        self.bar.refresh()

    def close(self):
        self.bar.close()


def _meter(done, total, file):
    try:
        return _TqdmMeter(done, total, file)
    except ImportError:
        return _LineMeter(done, total, file)


def _watch(module, before, stop, file):
    # Signals go to the other threads: the main thread's handlers, or the
    # core's, stop the computation; this thread only reads a counter.
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGALRM})
    if stop.wait(DELAY):
        return
    meter = None
    while True:
        done, total = module.progress()
        # The counter describes the last computation until this one starts
        # its scan; a bar appears once it has moved.
        if meter is None and (done, total) != before and total:
            meter = _meter(done, total, file)
        if meter is not None:
            meter.update(done, total)
        if stop.wait(INTERVAL):
            break
    if meter is not None:
        meter.update(*module.progress())
        meter.close()


@contextmanager
def watch_progress(module, enabled, file=None):
    """Show the progress of `module`'s computation run inside the block when
    `enabled`; the block's result, and any exception it raises, pass through
    unchanged."""
    if not enabled:
        yield
        return
    stop = threading.Event()
    watcher = threading.Thread(target=_watch, args=(module, module.progress(), stop, file or sys.stderr),
                               name="tessarin-progress", daemon=True)
    watcher.start()
    try:
        yield
    finally:
        stop.set()
        # The watcher ends within one reading; a daemon thread never holds up
        # the interpreter's exit even if it did not.
        watcher.join(timeout=2.0)
