"""Default Vgs chunking on 2 workers: one length, 181 x 181 and 361 x 361, by chunk count.

The former default (about 50 000 points a chunk, at least one chunk per worker) picks 3 chunks
for 361 x 361 on 2 workers, so the last job runs alone; the default now rounds the jobs up to a
multiple of the workers. Each count is timed in turn, several rounds, median reported.

Run: .venv/bin/python bench/chunk_bench.py
"""

import contextlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402

WORKERS = 2
ROUNDS = 11
POINTS_PER_CHUNK = 50_000


def former_default(n_vgs, n_vds, workers):
    rows = max(POINTS_PER_CHUNK // n_vds, 1)
    return max(-(-n_vgs // rows), workers)


@contextlib.contextmanager
def stdout_silenced():
    """The native characterisation prints its summary lines on file descriptor 1."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def timed(pool, config, chunks):
    with stdout_silenced():
        start = time.perf_counter()
        pool.generate_lut(config, chunks, progress=False)
        return time.perf_counter() - start


def main():
    print(f"one length, level-3 card, {WORKERS} workers, median of {ROUNDS} rounds")
    with tavlo.SimulationPool(WORKERS, 600.0, c.worker_exe()) as pool:
        for n in (181, 361):
            step = 1.8 / (n - 1)
            config = tavlo.LutConfig(lengths=(0.5e-6, 0.5e-6, 1.0), vgs=(0.0, 1.8, step), vds=(0.0, 1.8, step),
                                     model_card=c.LEVEL3)
            counts = (2, 3, 4, None)
            timed(pool, config, 2)  # warm the workers
            times = {k: [] for k in counts}
            for _ in range(ROUNDS):
                for k in counts:
                    times[k].append(timed(pool, config, k))
            med = {k: c.median(v) * 1e3 for k, v in times.items()}
            old = former_default(n, n, WORKERS)
            print(f"{n} x {n}: " + ", ".join(f"{k} chunks {med[k]:.0f} ms" for k in counts if k is not None)
                  + f"; default now {med[None]:.0f} ms; former default ({old} chunks) / default now = "
                  f"{med[old] / med[None]:.2f}")


if __name__ == "__main__":
    main()
