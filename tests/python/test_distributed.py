"""tavlo.distributed on a local Dask cluster of two worker processes, running real ngspice."""

import os
import signal
import time
from multiprocessing import resource_tracker

import pytest

pytest.importorskip("dask.distributed")
from dask.distributed import Client, LocalCluster, get_task_stream  # noqa: E402

import tavlo  # noqa: E402
import tavlo.distributed as td  # noqa: E402
from conftest import assert_same_table  # noqa: E402
from tavlo import pdk  # noqa: E402
from conftest import processes  # noqa: E402

GRID = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.05), vds=(0.0, 3.3, 0.1), n_chunks=2)
DIVIDER = "divider\n.param rload=1k\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 {rload}\n.end\n"


def new_cluster():
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")


@pytest.fixture(scope="module")
def client():
    with new_cluster() as cluster, Client(cluster) as c:
        yield c
    # The helper process multiprocessing started for the workers ends once they all have.
    resource_tracker._resource_tracker._stop()


def descendants(pids):
    """Every live process below `pids`."""
    parents = {}
    for pid, (state, parent) in processes().items():
        if state != "Z":
            parents.setdefault(parent, []).append(pid)
    found, todo = [], list(pids)
    while todo:
        children = parents.get(todo.pop(), [])
        found += children
        todo += children
    return found


def alive(pids):
    """Those of `pids` still running (not gone, not a zombie)."""
    table = processes()
    return [p for p in pids if p in table and table[p][0] != "Z"]


def worker_pids(client):
    return client.run(os.getpid)


def test_tables_equal_the_local_ones_and_tasks_are_named(client, kit_pool, gf180):
    nfet = pdk.gf180mcu("nfet_03v3", root=gf180)
    seen = []
    with get_task_stream(client) as stream:
        body = td.characterise(client, nfet, vsb=[0.0, 0.5], progress=lambda done, total: seen.append((done, total)),
                               **GRID)
    assert_same_table(body, kit_pool.characterise(nfet, vsb=[0.0, 0.5], **GRID))
    assert body.id.shape == (2, 2, 67, 34) and seen[-1] == (8, 8) and len(seen) == 8
    # Each task says what it computes: device, corner, temperature, length, Vbs and Vgs rows.
    named = {str(t["key"]).rsplit("-", 1)[0] for t in stream.data}
    assert named == {f"characterise_gf180mcu_nfet_03v3_typical_27C-L{length}-Vbs{vbs}-Vgs{rows}"
                     for length in ("2.8e-07", "1e-06") for vbs in ("0", "-0.5") for rows in ("0_34", "34_67")}

    kinds = [pdk.gf180mcu(d, corner=c, root=gf180) for d in ("nfet_03v3", "pfet_03v3") for c in ("typical", "ss")]
    tables = td.characterise_set(client, kinds, temperatures=[-40, 125], **GRID)
    assert sorted(tables) == sorted((f"gf180mcu {d}", c, t) for d in ("nfet_03v3", "pfet_03v3")
                                    for c in ("typical", "ss") for t in (-40.0, 125.0))
    for device in kinds:
        for t in (-40, 125):
            local = kit_pool.characterise(device, temperature=t, **GRID)
            assert_same_table(tables[device.name, device.corner, t], local)


def test_a_lost_worker_has_its_tasks_rerun(client, kit_pool, gf180):
    nfet = pdk.gf180mcu("nfet_03v3", root=gf180)
    grid = dict(GRID, lengths=[0.28e-6, 0.5e-6, 1e-6, 2e-6], n_chunks=4)
    before = worker_pids(client)
    victim = next(iter(before.values()))
    its_ngspice = []

    def kill_midway(done, total):
        if done == 3:
            its_ngspice.extend(descendants([victim]))
            os.kill(victim, signal.SIGKILL)

    table = td.characterise(client, nfet, vbs=[0.0, -0.5], progress=kill_midway, **grid)
    assert its_ngspice, "the killed worker had started no ngspice process"
    assert_same_table(table, kit_pool.characterise(nfet, vbs=[0.0, -0.5], **grid))
    client.wait_for_workers(2, timeout=60)
    assert victim not in worker_pids(client).values()
    # The killed worker's ngspice processes see their pipes close and end.
    deadline = time.monotonic() + 10
    while alive(its_ngspice) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not alive(its_ngspice)


def test_failures_stay_with_their_own_task(client, gf180):
    rejected = "bad\nV1 in 0 dc 1\nM1 in in 0 0 nosuchmodel\n.end\n"
    crash = ["shell kill -9 $$"]  # the ngspice worker itself dies mid-simulation
    netlists = [DIVIDER, rejected, DIVIDER]
    out = td.map(client, netlists, ["op"], params=[{"rload": 1e3}, {}, {"rload": 3e3}], return_exceptions=True)
    assert [type(r) for r in out] == [td.Result] * 3
    assert [r.success for r in out] == [True, False, True] and any("nosuchmodel" in line for line in out[1].log)
    assert out[0].vector("v(out)")[0] == pytest.approx(0.5) and out[2].vector("OUT")[0] == pytest.approx(0.75)
    assert out[2].vector("i(v1)")[0] == pytest.approx(-0.25e-3)

    out = td.map(client, DIVIDER, crash, params=[{"rload": 1e3}, {"rload": 2e3}], return_exceptions=True)
    assert all(isinstance(r, RuntimeError) and str(r).startswith("worker crashed") for r in out)
    out = td.map(client, [DIVIDER, DIVIDER], ["op"], params=[{"rload": 1e3}, {"rload": 2e3}])
    assert [r.vector("out")[0] for r in out] == pytest.approx([0.5, 2 / 3])
    with pytest.raises(RuntimeError, match="^worker crashed") as raised:
        td.map(client, [DIVIDER, DIVIDER], crash)
    assert "(item " in "".join(getattr(raised.value, "__notes__", []))

    # A characterisation is all or nothing, with tavlo's message naming the failing job.
    broken = tavlo.Device("nosuchmodel", [gf180 / "design.ngspice", (gf180 / "sm141064.ngspice", "typical")],
                          vdd=3.3, l_min=0.28e-6, name="broken", corner="typical")
    failed = r"^characterisation of broken at L=2\.8e-07 m, .* \(typical, 27 °C\) failed"
    with pytest.raises(RuntimeError, match=failed):
        td.characterise(client, broken, **GRID)

    with pytest.raises(TypeError, match="client must be a dask.distributed.Client"):
        td.characterise(None, broken)
    with pytest.raises(ValueError, match="retries must be a non-negative integer"):
        td.map(client, [DIVIDER], ["op"], retries=-1)


def test_closing_the_cluster_ends_every_ngspice_process(gf180):
    with new_cluster() as cluster, Client(cluster) as client:
        td.map(client, DIVIDER, ["op"], params=[{"rload": 1e3 * (i + 1)} for i in range(8)])
        workers = list(worker_pids(client).values())
        ngspice = descendants(workers)
        assert len(ngspice) == 2, "one pool of one ngspice process per Dask worker"
        td.characterise(client, pdk.gf180mcu("nfet_03v3", root=gf180), **GRID)
        assert descendants(workers) == ngspice, "the pools are kept between calls"
    deadline = time.monotonic() + 10
    while alive(workers + ngspice) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not alive(workers + ngspice)

