"""How software forward scales with the engine's threads: batch 32 of the 64x64 CNN (b) and of the five
64-channel 3x3 convolutions at 64x64 (c) of bench_forward.py, at 1, 2, 4 and 8 threads (OVRIX_NUM_THREADS)
and with the engine's default. For each: the median wall time of a call, the processor time of a call (all
threads, user and system) and its page faults (minor faults of the process), and the speed-up over one
thread. Goal: the default threads at least 5x faster than one thread on both networks (8 cores). Repeated
calls on one model keep their runners and buffers: a warm call should take few page faults.

    python bench/bench_threads.py [repeats]
"""
import os
import resource
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_forward import BATCH, cnn_64, five_convs  # noqa: E402

COUNTS = ["1", "2", "4", "8", None]


def usage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime, r.ru_minflt


def measure(model, x, threads, repeats):
    if threads is None:
        os.environ.pop("OVRIX_NUM_THREADS", None)
    else:
        os.environ["OVRIX_NUM_THREADS"] = threads
    model.forward(x)  # warm
    times = []
    cpu0, faults0 = usage()
    for _ in range(repeats):
        start = time.perf_counter()
        model.forward(x)
        times.append(time.perf_counter() - start)
    cpu1, faults1 = usage()
    os.environ.pop("OVRIX_NUM_THREADS", None)
    return statistics.median(times), (cpu1 - cpu0) / repeats, (faults1 - faults0) / repeats


def bench(title, model, repeats):
    w, h, c = model.input_shape
    x = np.random.default_rng(1).integers(0, 256, size=(BATCH, w, h, c)).astype(np.uint8)
    print(f"\n{title}: {model.macs / 1e6:.1f} M MACs per sample, batch {BATCH}")
    one = None
    for threads in COUNTS:
        wall, cpu, faults = measure(model, x, threads, repeats)
        one = one or wall
        label = f"{threads} thread{'s' if threads != '1' else ''}" if threads else "default threads"
        print(f"  {label:<16}: {wall * 1e3:8.2f} ms, processor {cpu * 1e3:8.2f} ms, {faults:8.0f} page faults a call, "
              f"{one / wall:5.2f}x one thread" + ("  (goal >= 5x)" if threads is None else ""))


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    print(f"times: median of {repeats} warm calls; cores available: {len(os.sched_getaffinity(0))}; "
          f"load average {os.getloadavg()[0]:.1f}")
    bench("(b) 64x64 CNN", cnn_64(), repeats)
    bench("(c) five 64-channel 3x3 convolutions at 64x64", five_convs(), repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
