"""The verified sizing's planning and correction loop, without processes: the runner is an analytic
MOS model (square law in strong inversion, exponential in weak inversion) answering the same
requests a pool would, and the test checks every answer against that model directly."""

import math
import re
import threading

import numpy as np
import pytest

import tavlo
from tavlo._characterise import characterise
from tavlo._verify import TOLERANCE, size

UT = 0.025852  # kT/q at 27 °C


class Model:
    """Drain current of a long-channel MOS (magnitudes, NMOS-like frame), smooth from weak to strong
    inversion and from triode to saturation; channel-length modulation shrinks with L. ``dw`` and
    ``nw`` make the current not quite proportional to W (a narrower channel and a higher threshold
    in a narrow device), so that W and Vgs need more than one correction."""

    def __init__(self, vt0=0.45, kp=200e-6, n=1.3, gamma=0.4, phi=0.8, lam_l=0.05e-6, dw=0.0, nw=0.0):
        self.vt0, self.kp, self.n, self.gamma, self.phi, self.lam_l = vt0, kp, n, gamma, phi, lam_l
        self.dw, self.nw = dw, nw

    def vth(self, vbs, w=1e-6):
        return self.vt0 + self.nw * 1e-6 / w + self.gamma * (np.sqrt(self.phi - vbs) - math.sqrt(self.phi))

    def id(self, w, l, vgs, vds, vbs):
        vp = (vgs - self.vth(vbs, w)) / self.n
        f = lambda v: np.log1p(np.exp(v / (2 * UT))) ** 2  # noqa: E731
        return 2 * self.n * self.kp * (w - self.dw) / l * UT ** 2 * (f(vp) - f(vp - vds)) * (1 + self.lam_l / l * vds)

    def figures(self, w, l, vgs, vds, vbs, h=1e-6):
        i = self.id(w, l, vgs, vds, vbs)
        gm = (self.id(w, l, vgs + h, vds, vbs) - self.id(w, l, vgs - h, vds, vbs)) / (2 * h)
        gds = (self.id(w, l, vgs, vds + h, vbs) - self.id(w, l, vgs, vds - h, vbs)) / (2 * h)
        return i, gm, gds


class Result:
    def __init__(self, vectors, success=True, error=None):
        self.success, self.error, self.log = success, error, [] if success else [f"stderr {error}"]
        self._vectors = {k.lower(): np.asarray(v, dtype=float) for k, v in vectors.items()}

    def vector(self, name):
        return self._vectors[name.lower()].copy()

    def vector_names(self):
        return list(self._vectors)


class ModelRunner:
    """Answers a characterisation's or a sizing's DC sweeps from a Model; thread-safe, like a pool."""

    workers = 2

    def __init__(self, device, model=None, fail_after=None, crash_after=None, wobble=0.0):
        self.sign = -1.0 if device.polarity == "pmos" else 1.0
        self.model = model or Model()
        self.fail_after, self.crash_after, self.wobble = fail_after, crash_after, wobble
        self.calls = 0
        self._lock = threading.Lock()

    def run_simulation(self, netlist, commands, id=None, *, params=None, return_vectors=None):
        with self._lock:
            self.calls += 1
            call = self.calls
        if self.crash_after is not None and call > self.crash_after:
            raise RuntimeError("worker crashed: stdout read failed: early eof")
        if self.fail_after is not None and call > self.fail_after:
            return Result({}, success=False, error="Error: no such device or model name m1")
        values = dict(re.findall(r"(\w+)=([-+.\deE]+)", next(line for line in netlist.splitlines()
                                                           if line.startswith(".param"))))
        values = {k: float(v) for k, v in values.items()} | dict(params or {})
        w, l = values.get("w_char", values.get("w_op")), values.get("l_char", values.get("l_op"))
        vbs = self.sign * values.get("vbs_char", values.get("vbs_op"))
        dc = next(c for c in commands if c.startswith("dc ")).split()
        axes = []
        for start, stop, step in (dc[2:5], dc[6:9]):
            start, stop, step = float(start), float(stop), float(step)
            count = 0 if start == stop else int(round((stop - start) / step))
            axes.append(self.sign * (start + step * np.arange(count + 1)))
        vds, vgs = axes
        g, d = (a.ravel() for a in np.meshgrid(vgs, vds, indexing="ij"))  # Vds fastest, as ngspice sweeps
        i, gm, gds = self.model.figures(w, l, g, d, vbs)
        if self.wobble:  # a device that never repeats itself: +x, -x, +x, ... from call to call
            i = i * (1 + self.wobble * (-1) ** call)
        vth = self.model.vth(vbs, w) + 0 * g
        return Result({"vds#branch": -self.sign * i, "@m1[gm]": gm, "@m1[gds]": gds, "@m1[vth]": vth,
                       "@m1[vdsat]": np.maximum(g - vth, 0) + 4 * UT, "@m1[cgg]": 5e-3 * w * l + 0 * g})


@pytest.fixture(scope="module")
def device(tmp_path_factory):
    card = tmp_path_factory.mktemp("card") / "nch.mod"
    card.write_text(".model nch nmos level=1\n")  # never read: the runner is the model
    return tavlo.Device("nch", [card], vdd=1.8, l_min=0.2e-6, w_max=100e-6)


GRID = dict(lengths=[0.2e-6, 0.4e-6, 0.8e-6, 1.6e-6, 3.2e-6], vgs=(0.0, 1.8, 0.0125), vds=(0.0, 1.8, 0.05))


@pytest.fixture(scope="module")
def table(device):
    return characterise(ModelRunner(device), device, **GRID)


def model_check(model, res, ids, gm_id, gain=None):
    """The sizing meets its targets on the model itself, and reports the model's figures."""
    i, gm, gds = (x * res.m for x in model.figures(res.w / res.m, res.l, res.vgs, res.vds, res.vbs))
    assert i == pytest.approx(ids, rel=TOLERANCE["Ids"]) and gm / i == pytest.approx(gm_id, rel=TOLERANCE["gm/Id"])
    assert res.id == pytest.approx(i, rel=1e-9) and res.gm == pytest.approx(gm, rel=1e-9)
    if gain is not None:
        assert gm / gds == pytest.approx(gain, rel=TOLERANCE["gain"])


def test_the_loop_converges_on_the_device_it_simulates_not_on_the_table(device, table):
    # The table's own device: the start is already close.
    res = size(ModelRunner(device), device, gm_id=15, ids=10e-6, l=0.8e-6, table=table)
    model_check(Model(), res, 10e-6, 15)
    assert res.estimate.vgs == table.design(gm_id=15, ids=10e-6, l=0.8e-6, vds=0.9, gm_id_min=0.0,
                                            gm_id_max=math.inf).vgs
    # A slower device than the table's (threshold 60 mV up, 20 % less current, narrow-channel
    # effects): the simulation moves Vgs and W away from the table's answer, step by step, until
    # the device itself meets the targets.
    slow = Model(vt0=0.51, kp=160e-6, dw=0.4e-6, nw=0.03)
    res = size(ModelRunner(device, slow), device, gm_id=12, ids=50e-6, l=0.4e-6, table=table)
    model_check(slow, res, 50e-6, 12)
    assert res.vgs - res.estimate.vgs == pytest.approx(0.06, abs=0.015) and res.w > 1.1 * res.estimate.w
    assert res.simulations >= 3
    # A gain target between grid lengths moves L; a wide device is split into parallel ones.
    res = size(ModelRunner(device, slow), device, gm_id=15, ids=10e-6, gain=200.0, table=table)
    model_check(slow, res, 10e-6, 15, gain=200.0)
    assert not np.any(np.isclose(table.lengths, res.l, rtol=1e-3))
    res = size(ModelRunner(device, slow), device, gm_id=20, ids=3e-3, l=0.4e-6, table=table)
    model_check(slow, res, 3e-3, 20)
    assert res.m > 1 and res.w_each <= device.w_max
    assert [name for name, _ in res.constraint_errors] == ["Ids", "gm/Id"]


def test_a_failing_runner_stops_the_loop_and_raises(device, table):
    failing = ModelRunner(device, fail_after=1)
    with pytest.raises(ValueError, match=r"failed \(is W or L outside the kit's model bins\?\): Error: no such"):
        size(failing, device, gm_id=15, ids=10e-6, l=0.8e-6, table=table)
    assert failing.calls == 2  # nothing after the failed request
    crashing = ModelRunner(device, crash_after=0)
    with pytest.raises(RuntimeError, match="^worker crashed"):
        size(crashing, device, gm_id=15, ids=10e-6, l=0.8e-6, table=table)
    assert crashing.calls == 1


def test_an_unconverged_sizing_is_never_returned(device, table):
    # Each simulation's current is 3 % off the last one's: no point ever holds Id within 0.5 %.
    wobbly = ModelRunner(device, wobble=0.03)
    with pytest.raises(ValueError, match=r"^gm_id = 15, ids = 1e-05 not met within 7 simulations: .*Ids is off by"):
        size(wobbly, device, gm_id=15, ids=10e-6, l=0.8e-6, table=table, max_simulations=7)
    assert wobbly.calls == 7
    # A gm/Id past the weak-inversion peak is refused from the table, before any simulation.
    runner = ModelRunner(device)
    with pytest.raises(ValueError, match=r"gm_id = 35 cannot be met: it is above the device's weak-inversion peak"):
        size(runner, device, gm_id=35, ids=10e-6, table=table)
    assert runner.calls == 0


def test_the_table_must_match_the_device_and_its_body_bias(device, table, tmp_path):
    runner = ModelRunner(device)
    # A 3-D table answers at its own Vbs only; the message says what it holds.
    with pytest.raises(ValueError, match=r"vbs = -0.5 V \(vsb = 0.5 V\): the table was characterised at "
                                         r"vbs = 0 V only"):
        size(runner, device, gm_id=15, ids=10e-6, l=0.8e-6, vsb=0.5, table=table)
    card = tmp_path / "pch.mod"
    card.write_text(".model pch pmos level=1\n")
    pmos = tavlo.Device("pch", [card], polarity="pmos", vdd=1.8, l_min=0.2e-6)
    with pytest.raises(ValueError, match=r"table is a NMOS table and device pch is PMOS"):
        size(ModelRunner(pmos), pmos, gm_id=15, ids=10e-6, l=0.8e-6, table=table)
    pmos_table = characterise(ModelRunner(pmos), pmos, lengths=[0.4e-6, 0.8e-6], vgs=GRID["vgs"], vds=GRID["vds"])
    with pytest.raises(ValueError, match=r"table is a PMOS table and device nch is NMOS"):
        size(runner, device, gm_id=15, ids=10e-6, l=0.8e-6, table=pmos_table)
    assert runner.calls == 0
    # A table over Vsb sizes between its grid values; outside them it refuses.
    swept = characterise(ModelRunner(device), device, lengths=[0.4e-6, 0.8e-6, 1.6e-6], vgs=GRID["vgs"],
                         vds=GRID["vds"], vsb=[0.0, 0.5, 1.0])
    res = size(ModelRunner(device), device, gm_id=15, ids=10e-6, vsb=0.25, table=swept)
    model_check(Model(), res, 10e-6, 15)
    assert res.vbs == -0.25
    with pytest.raises(ValueError, match=r"vbs = -1.5 V \(vsb = 1.5 V\) is outside the table's Vbs axis, -1 to 0 V"):
        size(runner, device, gm_id=15, ids=10e-6, vsb=1.5, table=swept)
