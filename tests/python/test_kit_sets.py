"""pool.characterise_set on gf180 through real ngspice: the tables of the single calls, all or nothing."""

import pytest

import tavlo
from conftest import assert_same_table
from tavlo import pdk

GRID = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3))


def test_a_set_equals_its_single_calls_and_reports_every_job(kit_pool, gf180):
    devices = [pdk.gf180mcu(d, corner=c, root=gf180) for d in ("nfet_03v3", "pfet_03v3") for c in ("typical", "ff")]
    calls = []
    tables = kit_pool.characterise_set(devices, [27, 125], progress=lambda d, t: calls.append((d, t)), **GRID)
    assert list(tables) == [(d.name, d.corner, t) for d in devices for t in (27.0, 125.0)]
    for (name, corner, t), table in tables.items():
        device = next(d for d in devices if (d.name, d.corner) == (name, corner))
        assert table.source["temperature"] == t and table.source["corner"] == corner
        assert_same_table(table, kit_pool.characterise(device, temperature=t, **GRID))
    total = calls[-1][1]
    assert total >= 8 and [d for d, _ in calls] == list(range(1, total + 1)) and {t for _, t in calls} == {total}
    # One temperature, the device's own by default; a body-bias sweep as in the single call.
    one = kit_pool.characterise_set(devices[0], vsb=[0.0, 0.5], **GRID)
    assert list(one) == [(devices[0].name, "typical", 27.0)]
    assert_same_table(one[devices[0].name, "typical", 27.0], kit_pool.characterise(devices[0], vsb=[0.0, 0.5], **GRID))


def test_a_set_is_checked_before_it_runs_and_fails_as_a_whole(kit_pool, gf180):
    nfet = pdk.gf180mcu("nfet_03v3", root=gf180)
    cases = [
        (([nfet, nfet],), {}, r"is asked for twice"),
        (([],), {}, r"devices must name at least one tavlo.Device"),
        (([nfet], []), {}, r"temperatures must hold at least one temperature"),
        (([nfet], [27]), {"temperature": 27}, r"give temperature \(one\) or temperatures \(several\), not both"),
        (([nfet], [27, "hot"]), {}, r"temperature must be a number"),
    ]
    for args, kw, message in cases:
        with pytest.raises(ValueError, match=message):
            kit_pool.characterise_set(*args, **kw, **GRID)
    broken = tavlo.Device("nosuchmodel", [gf180 / "design.ngspice", (gf180 / "sm141064.ngspice", "typical")],
                          vdd=3.3, l_min=0.28e-6)
    with pytest.raises(RuntimeError, match=r"^characterisation of nosuchmodel at L=.* failed"):
        kit_pool.characterise_set([nfet, broken], **GRID)
    closed = tavlo.SimulationPool(1)
    closed.close()
    with pytest.raises(RuntimeError, match="this SimulationPool is closed"):
        closed.characterise_set([nfet], **GRID)
