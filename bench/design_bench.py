"""Time of one gm/Id sizing (gm/Id, gain and current targets) on a 10 x 181 x 181 table.

Run: .venv/bin/python bench/design_bench.py
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402


def main():
    pool = tavlo._SimulationPool(None, 600.0, c.worker_exe())
    cfg = tavlo.LutConfig(lengths=(0.2e-6, 2.0e-6, 0.2e-6), vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.01))
    lut = pool.generate_lut(cfg)
    print(f"table: {lut!r}")
    res = lut.design(gm_id=12.0, gain=50.0, ids=100e-6)
    print(f"result: {res!r}")
    for label, kwargs in (("gm_id + gain + ids", dict(gm_id=12.0, gain=50.0, ids=100e-6)),
                          ("gm_id + ids", dict(gm_id=12.0, ids=100e-6)),
                          ("gain + ids (grid search)", dict(gain=50.0, ids=100e-6))):
        runs = timeit.repeat(lambda kwargs=kwargs: lut.design(**kwargs), number=20, repeat=15)
        per_call = sorted(runs)[len(runs) // 2] / 20
        print(f"  design({label}): median {per_call * 1e6:8.1f} us per call (target < 100 us: "
              f"{1e-4 / per_call:.1f}x headroom)")


if __name__ == "__main__":
    main()
