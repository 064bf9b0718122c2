"""Quick start: characterise the built-in NMOS model, size a transistor, save the table and charts.

    python examples/quickstart.py [output folder]      # default: out/
"""

import sys
from pathlib import Path

import tavlo


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)

    # Five lengths from 180 nm to 1 µm, Vgs in 10 mV steps, Vds in 50 mV steps: 33 485 points.
    config = tavlo.LutConfig("nmos", width=10e-6, lengths=(180e-9, 1e-6, 205e-9),
                             vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
    with tavlo.SimulationPool() as pool:
        nmos = pool.generate_lut(config)
    print(nmos)

    # gm/Id = 15 /V with 100 µA: the solver picks L and Vgs, then scales W to the current.
    result = nmos.design(gm_id=15, ids=100e-6)
    print(result)
    id_w = nmos.lookup("id_w", gm_id=15, l=result.l, vds=result.vds)
    print(f"current density at gm/Id = 15: {id_w:.3g} A/m, so W = 100 µA / {id_w:.3g} A/m = {100e-6 / id_w:.3e} m")

    table_path = out / "nmos.npz"
    nmos.save(table_path)
    print(f"table saved to {table_path}; reload it with tavlo.load_table({str(table_path)!r})")

    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("no chart: matplotlib is not installed (pip install 'tavlo[plot]')")
        return
    fig = Figure(figsize=(14, 4.2), layout="constrained")
    left, middle, right = fig.subplots(1, 3)
    nmos.plot_gm_id(left)
    nmos.plot_gain(middle)
    nmos.plot_id_w(right)
    fig.suptitle("Built-in NMOS, W = 10 µm")
    chart_path = out / "nmos_gm_id.png"
    fig.savefig(chart_path, dpi=90)
    print(f"chart saved to {chart_path}")


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "out"))
