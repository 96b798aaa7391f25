"""Software forward of a large v1 FullyConnected layer (1,048,576 units x 128 inputs, 1-bit weights) on 6
samples, once on one engine thread and once with the engine's default threads, each in a fresh process so
that its peak resident memory is its own.

Goals: the default threads need no more memory than one thread plus their scratch (the weights are
prepared once per call and shared), and are not slower than one thread.

    python bench/bench_v1_dense.py [units] [repeats]
"""
import os
import resource
import statistics
import subprocess
import sys
import time

INPUTS = (8, 8, 2)  # 128 inputs
SAMPLES = 6


def child(units, repeats):
    import numpy as np
    from ovrix import core

    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.InputData, {"input_width": INPUTS[0], "input_height": INPUTS[1],
                                                       "input_channels": INPUTS[2], "input_bits": 1,
                                                       "input_signed": 0}), "input"))
    m.add(core.Layer(core.LayerParams(core.FullyConnected, {"units": units, "weights_bits": 1, "activation": 0}),
                     "fc"))
    rng = np.random.default_rng(0)
    fc = m.layers[1]
    fc.variables["weights"] = rng.integers(0, 2, size=fc.variables["weights"].shape, dtype=np.int8)
    x = rng.integers(0, 2, size=(SAMPLES, *INPUTS)).astype(np.uint8)
    before = resident_mb("VmRSS")
    reset_peak()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        out = m.forward(x)
        times.append(time.perf_counter() - start)
    peak = resident_mb("VmHWM")
    print(f"{statistics.median(times):.4f} {before:.0f} {peak:.0f} {out.sum()}")


def resident_mb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def reset_peak():
    """Starts the peak resident size (VmHWM) again from the current size, so the set-up's is not counted."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), int(sys.argv[3]))
        return 0
    units = int(sys.argv[1]) if len(sys.argv) > 1 else 1 << 20
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    print(f"v1 FullyConnected {units} units x {INPUTS[0] * INPUTS[1] * INPUTS[2]} inputs, 1-bit weights, "
          f"forward of {SAMPLES} samples; median of {repeats}; cores available: {len(os.sched_getaffinity(0))}, "
          f"load average {os.getloadavg()[0]:.1f}")
    results = {}
    for label, threads in (("1 thread", "1"), ("default threads", None)):
        env = dict(os.environ)
        env.pop("OVRIX_NUM_THREADS", None)
        if threads:
            env["OVRIX_NUM_THREADS"] = threads
        line = subprocess.run([sys.executable, __file__, "--child", str(units), str(repeats)], env=env, check=True,
                              capture_output=True, text=True).stdout.split()
        seconds, before, peak, checksum = float(line[0]), float(line[1]), float(line[2]), line[3]
        results[label] = (seconds, peak, checksum)
        print(f"  {label:<16}: {seconds:7.3f} s, peak memory during the calls {peak:6.0f} MB "
              f"(before them: {before:.0f} MB)")
    one, many = results["1 thread"], results["default threads"]
    print(f"  default / one thread: time {many[0] / one[0]:.2f}x (goal <= 1.0x), peak memory "
          f"{many[1] / one[1]:.2f}x; same outputs: {'yes' if one[2] == many[2] else 'NO'}")
    return 0 if one[2] == many[2] else 1


if __name__ == "__main__":
    sys.exit(main())
