"""What users see of a simulation: real ngspice through the pool, read back as SimulationResult."""

import threading

import numpy as np
import pytest

import tavlo

DIVIDER = """divider
V1 in 0 dc 1
R1 in out 1k
R2 out 0 {r2}
.end
"""

RC_TRAN = """rc step
V1 1 0 pulse(0 1 0 1n 1n 1 2)
R1 1 out 1k
C1 out 0 1n
.tran 10n 5u
.measure tran vmax max v(out)
.measure tran vmax max v(1)
.end
"""

RC_AC = """rc lowpass
V1 in 0 dc 0 ac 1
R1 in out 1k
C1 out 0 1n
.ac dec 5 1k 10meg
.end
"""


@pytest.fixture(scope="module")
def pool(worker_exe):
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        yield pool


def test_concurrent_threads_each_get_their_own_operating_point(pool):
    mismatches = []

    def caller(t):
        for i in range(15):
            r2 = 1000 + 37 * t + i  # a value unique to this request
            res = pool.run_simulation(DIVIDER.format(r2=r2), ["op"])
            if not np.isclose(res.vector("out")[0], r2 / (1000 + r2), rtol=1e-9, atol=0):
                mismatches.append((t, i))

    threads = [threading.Thread(target=caller, args=(t,)) for t in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert mismatches == []


def test_vector_lookup_accepts_node_and_current_notations(pool):
    res = pool.run_simulation(RC_TRAN, ["run"])
    assert res.success and res.error is None
    names = res.vector_names()
    assert {"time", "V(1)", "out", "v1#branch"} <= set(names)
    for alias, name in [("TIME", "time"), ("Time", "time"), ("1", "V(1)"), ("v(1)", "V(1)"),
                        ("v(out)", "out"), ("V(OUT)", "out"), ("OUT", "out"),
                        ("i(v1)", "v1#branch"), ("I(V1)", "v1#branch"), ("V1#BRANCH", "v1#branch")]:
        np.testing.assert_array_equal(res.vector(alias), res.vectors_dict()[name])
    # A current is only a source's branch: i(out) is not the voltage of node out, nor i() anything.
    for missing in ("i(out)", "i(r1)", "i()", "v()"):
        with pytest.raises(KeyError):
            res.vector(missing)
    with pytest.raises(KeyError) as exc:
        res.vector("v(nope)")
    assert exc.value.args[0] == "vector 'v(nope)' not found; available: [" + \
        ", ".join(f'"{n}"' for n in names) + "]"
    with pytest.raises(ValueError, match=r"^vector 'out' has no complex data \(not an AC analysis result\)$"):
        res.complex_vector("out")
    with pytest.raises(TypeError, match="argument 'name'"):
        res.vector(1)
    # A measure name given twice keeps the later value.
    assert set(res.measures) == {"vmax"}
    assert res.measures["vmax"] == pytest.approx(1.0, abs=1e-3)


def test_results_hand_out_copies(pool):
    res = pool.run_simulation(RC_TRAN, ["run"])
    v = res.vector("out")
    v[:] = 42.0
    assert not np.any(res.vector("out") == 42.0)
    res.log.clear()
    assert res.log
    assert res.vector("time").dtype == np.float64


def test_ac_vectors_are_complex(pool):
    res = pool.run_simulation(RC_AC, ["run"])
    assert res.success, res.error
    f = res.vector("frequency")
    h = res.complex_vector("out")
    assert h.dtype == np.complex128 and h.shape == f.shape
    np.testing.assert_allclose(h, 1 / (1 + 2j * np.pi * f * 1e-6), rtol=1e-6)
    np.testing.assert_array_equal(res.vector("out"), h.real)


def test_rejected_netlist_is_a_result_not_an_exception(pool):
    res = pool.run_simulation("no end line\nR1 a 0 1k\n", ["op"], id="bad-1")
    assert repr(res) == "SimulationResult(id='bad-1', success=false, vectors=0)"
    assert res.error == "netlist does not end with .end"
    assert res.measures == {}
    with pytest.raises(KeyError, match=r"available: \[\]"):
        res.vector("x")


def test_a_misspelt_command_fails_instead_of_returning_nothing(pool):
    res = pool.run_simulation(DIVIDER.format(r2="1k"), ["rnu"], id="typo")
    assert not res.success and repr(res) == "SimulationResult(id='typo', success=false, vectors=0)"
    assert res.error == "stderr rnu: no such command available in ngspice"


def test_result_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for SimulationResult$"):
        tavlo.SimulationResult()


def test_a_worker_that_quits_is_replaced_before_its_next_request(worker_exe):
    # ngspice's quit leaves the worker unusable: the frame says so and the pool replaces it first.
    pool = tavlo._SimulationPool(1, 60.0, worker_exe)
    divider = "divider\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 1k\n.op\n.end\n"
    for _ in range(10):
        quitting = pool.run_simulation(divider, ["quit"])
        assert not quitting.success and "controlled exit" in quitting.error
        after = pool.run_simulation(divider, ["run"])
        assert after.success and after.vector("out")[0] == pytest.approx(0.5)


def test_a_worker_grown_by_a_huge_request_is_replaced(worker_exe):
    from conftest import child_processes

    others = set(child_processes())
    pool = tavlo._SimulationPool(1, 120.0, worker_exe, max_memory_growth=32 << 20)
    divider = "divider\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 1k\n.op\n"
    assert pool.run_simulation(divider + ".end\n", ["run"]).success
    (before,) = set(child_processes()) - others
    assert pool.run_simulation(divider + "* " + "x" * (64 << 20) + "\n.end\n", ["run"]).success
    after = pool.run_simulation(divider + ".end\n", ["run"])
    assert after.success and after.vector("out")[0] == pytest.approx(0.5)
    assert before not in child_processes()  # replaced, invisibly to the caller


def test_params_reuse_the_parsed_circuit_and_never_a_stale_one(worker_exe):
    divider = "divider\n.param r2=1k\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 {r2}\n.end\n"
    reused = "reusing the circuit parsed for an earlier request"
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        def out(params, netlist=divider, commands=("op",)):
            r = pool.run_simulation(netlist, list(commands), params=params)
            return r.success, (r.vector("out")[0] if r.success else r.error), reused in r.log

        assert out({"r2": 1e3}) == (True, pytest.approx(0.5), False)
        assert out({"r2": 3e3}) == (True, pytest.approx(0.75), True)
        assert out({"r2": 1e3}) == (True, pytest.approx(0.5), True)
        # A request that does not set r2 again gets the netlist's own value, from a fresh parse.
        assert out({"r2": 3e3})[1] == pytest.approx(0.75)
        assert out({}) == (True, pytest.approx(0.5), False)
        assert out(None) == (True, pytest.approx(0.5), False)
        # A netlist that fails to load never runs the kept circuit instead.
        assert out({"r2": 3e3})[1] == pytest.approx(0.75)
        broken = divider.replace("R2 out 0 {r2}", "X2 out 0 nosuch")
        ok, error, _ = out({"r2": 3e3}, broken)
        assert not ok and "nosuch" in error.lower()
        assert out({"r2": 3e3})[:2] == (True, pytest.approx(0.75))
        with pytest.raises(TypeError, match="argument 'params'"):
            pool.run_simulation(divider, ["op"], params={"r2": "x"})
        bad = pool.run_simulation(divider, ["op"], params={"r2; shell": 1.0})
        assert not bad.success and "invalid parameter name" in bad.error


REUSED = "reusing the circuit parsed for an earlier request"


def subckt_divider(k, padding=0):
    """A divider whose lower resistor sits in a subcircuit with a parameter (the kits' shape);
    ``padding`` parameters make its deck long, in the lines ngspice numbers."""
    return (f"divider {k}\n.param r2=1k\n" + "".join(f".param pad{p}=1\n" for p in range(padding)) +
            ".subckt lower a b r=1\nR a b {r}\n.ends\n"
            f"V1 in 0 dc 1\nR1 in out {k}k\nX2 out 0 lower r={{r2}}\n.end\n")


def test_several_netlists_with_params_are_kept_each_parsed_once(worker_exe):
    # A long deck, a short one parsed after it, then the long one again, alternating, as a sizing
    # of an NMOS, a PMOS and the NMOS again does; more netlists than a worker keeps push the least
    # recently used one out. Every answer is the one of its own netlist and its own parameter.
    netlists = [subckt_divider(1, padding=2000), subckt_divider(2)] + [subckt_divider(k) for k in (3, 4, 5, 6)]
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        def answer(k, r2, commands=("op",)):
            r = pool.run_simulation(netlists[k], list(commands), params={"r2": r2})
            assert r.success, r.error
            return r.vector("out")[0], REUSED in r.log

        def run(k, r2, commands=("op",)):
            out, reused = answer(k, r2, commands)
            assert out == pytest.approx(r2 / (r2 + (k + 1) * 1e3), rel=1e-12)
            return reused

        assert [run(0, 1e3), run(1, 2e3)] == [False, False]
        assert all(run(i % 2, 1e3 * (i + 1)) for i in range(6))
        # An alter of one request does not reach the next one on the same netlist.
        assert answer(0, 3e3, ["alter r1 9k", "op"]) == (pytest.approx(0.25), True)
        assert run(0, 3e3)
        # A request whose own commands reload the deck gets the only circuit the worker holds.
        assert not run(1, 4e3, ["reset", "op"])
        assert [run(1, 4e3), run(0, 4e3), run(1, 4e3)] == [True, False, False]
        for k in (2, 3, 4, 5):
            run(k, 5e3)
        # Four are kept: the two used longest ago were parsed again, the newest were not.
        assert [run(0, 1e3), run(5, 1e3), run(4, 1e3)] == [False, True, True]


def test_params_are_refused_for_a_netlist_with_its_own_control_block(worker_exe, tmp_path):
    # The block runs while ngspice parses, before any parameter is set: its answer would be the
    # netlist's defaults. Refused, also when the block sits in an included file.
    ctl = "ctl\n.param r=1k\nV1 a 0 1\nR1 a b 1k\nR2 b 0 {r}\n.control\nop\n.endc\n.end\n"
    (tmp_path / "block.inc").write_text(".control\nop\n.endc\n")
    included = ctl.replace(".control\nop\n.endc\n", f".include {tmp_path / 'block.inc'}\n")
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        with pytest.raises(ValueError, match="params cannot be used with a netlist that has its own .control block"):
            pool.run_simulation(ctl, [], params={"r": 3e3})
        # Only the worker sees what an included file holds: there the refusal is a failed result.
        refused = pool.run_simulation(included, [], params={"r": 3e3})
        assert not refused.success and refused.vector_names() == []
        assert refused.error.startswith("params cannot be used with a netlist that has its own .control block")
        # Without params the block runs as before, and the pool carries on.
        plain = pool.run_simulation(ctl, [])
        assert plain.success and plain.vector("b")[0] == pytest.approx(0.5)
        assert pool.run_simulation(DIVIDER.format(r2="{r2}").replace("out 0 {r2}", "out 0 {r2}\n.param r2=1k"),
                                   ["op"], params={"r2": 3e3}).vector("out")[0] == pytest.approx(0.75)


def test_an_edited_include_or_library_file_is_read_again(worker_exe, tmp_path):
    # Nested, relative to the including file, through a .lib section: as ngspice resolves them.
    (tmp_path / "models").mkdir()
    (tmp_path / "models" / "top.lib").write_text(".lib tt\n.include parts/r9.inc\n.endl tt\n")
    (tmp_path / "models" / "parts").mkdir()
    r9 = tmp_path / "models" / "parts" / "r9.inc"
    netlist = (f"edit\n.param r=1k\nV1 a 0 1\nR1 a b {{r}}\n.lib {tmp_path / 'models' / 'top.lib'} tt\n"
               "X9 b 0 r9\n.end\n")
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        def vb():
            r = pool.run_simulation(netlist, ["op"], params={"r": 1e3})
            assert r.success, r.error
            return r.vector("b")[0], REUSED in r.log

        r9.write_text(".subckt r9 p n\nR9 p n 1k\n.ends\n")
        assert vb() == (pytest.approx(0.5), False)
        assert vb() == (pytest.approx(0.5), True)
        r9.write_text(".subckt r9 p n\nR9 p n 3k\n.ends\n")  # same size, moments later
        assert vb() == (pytest.approx(0.75), False)
        assert vb() == (pytest.approx(0.75), True)


def test_a_temperature_set_on_a_reused_circuit_equals_a_fresh_parse_and_does_not_stay(worker_exe):
    nmos = ("nmos\n.param l=1u\nVD d 0 1\nVG g 0 1\nM1 d g 0 0 nm W=10u L={l}\n"
            ".model nm nmos level=1 vto=0.5 kp=1e-4 lambda=0.02\nTEMP.end\n")
    sweep = ["dc vg 0 1.8 0.05 vd 0 1.8 0.3"]
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        def current(netlist, commands, params):
            res = pool.run_simulation(netlist, commands, params=params, return_vectors=["vd#branch"])
            assert res.success, res.error
            return res.vector("vd#branch"), REUSED in res.log

        fresh_hot, _ = current(nmos.replace("TEMP", ".temp 125\n"), sweep, None)
        warm, _ = current(nmos.replace("TEMP", ""), sweep, {"l": 1e-6})
        hot, reused = current(nmos.replace("TEMP", ""), ["option temp=125"] + sweep, {"l": 1e-6})
        assert reused
        np.testing.assert_array_equal(hot, fresh_hot)
        assert not np.array_equal(hot, warm)
        # The next request on the same circuit is back at the netlist's own temperature.
        again, reused = current(nmos.replace("TEMP", ""), sweep, {"l": 1e-6})
        assert reused
        np.testing.assert_array_equal(again, warm)
