"""LutConfig, TransistorLut and DesignResult without a simulator: tables come from _from_arrays."""

import errno
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import tavlo

NO_POINT_30 = ("simulation failed: No operating point found for gm/Id = 30.00 V\u207b\u00b9. "
               "Try adjusting gm_id_min/gm_id_max or widening the LUT voltage range.")

VGS10 = np.linspace(0.05, 0.5, 10)


def make_lut(lengths=(5e-7,), vgs=None, vds=(0.0, 0.9, 1.8), gds_scale=1e-6):
    """A square-law device: gm/Id = 2/Vgs, from 40 down to 4 V^-1 along the Vgs axis."""
    vgs = np.linspace(0.05, 0.5, 91) if vgs is None else np.asarray(vgs, dtype=float)
    vds = np.asarray(vds, dtype=float)
    n_l = len(lengths)
    g, d = np.meshgrid(vgs, vds, indexing="ij")
    scale = np.arange(1, n_l + 1, dtype=float)[:, None, None]
    id_ = 1e-5 * scale * (g * g * (1 + 0.1 * d))[None]
    gm = 1e-5 * scale * (2 * g * (1 + 0.1 * d))[None]
    gds = gds_scale * scale * (g * g)[None] * np.ones_like(d)[None]
    return tavlo.TransistorLut._from_arrays(1e-5, 0.0, list(lengths), vgs, vds, id_, gm, gds)


class TestLutConfig:
    def test_defaults(self):
        c = tavlo.LutConfig()
        assert (c.device_type, c.width, c.length, c.lengths) == ("nmos", 1e-5, 5e-7, None)
        assert (c.vgs, c.vds, c.vbs) == ((0.0, 1.8, 0.05), (0.0, 1.8, 0.05), 0.0)
        assert (c.model_card, c.model_file, c.model_section, c.model_name) == ("", None, None, "nch")
        assert repr(c) == "LutConfig(device_type='nmos', model_name='nch', W=1.000e-5, L=5.000e-7)"

    def test_all_eleven_positional(self):
        c = tavlo.LutConfig("pmos", 2e-6, 3e-7, (1e-7, 1e-6, 1e-7), (0.0, -1.8, -0.1), (0, -1, -0.5), 0.2,
                            "* card", "m.lib", "tt", "p1")
        assert (c.device_type, c.width, c.length, c.lengths) == ("pmos", 2e-6, 1e-7, (1e-7, 1e-6, 1e-7))
        assert (c.vgs, c.vds, c.vbs) == ((0.0, -1.8, -0.1), (0.0, -1.0, -0.5), 0.2)
        assert (c.model_card, c.model_file, c.model_section, c.model_name) == ("* card", "m.lib", "tt", "p1")
        assert repr(c) == ("LutConfig(device_type='pmos', model_name='p1', W=2.000e-6, L=1.000e-7..1.000e-6 (10 pts), "
                           "model_card='* card')")

    @pytest.mark.parametrize("device_type, expected", [("pmos", "pch"), ("nmos", "nch"), ("NMOS", "nch")])
    def test_model_name_follows_device_type(self, device_type, expected):
        assert tavlo.LutConfig(device_type=device_type).model_name == expected
        assert tavlo.LutConfig(device_type=device_type, model_name="x").model_name == "x"

    def test_length_and_lengths(self):
        assert tavlo.LutConfig(length=2e-7).lengths is None
        assert tavlo.LutConfig(lengths=(1e-7, 1e-6, 1e-7), length=5e-7).length == 1e-7
        c = tavlo.LutConfig(lengths=(1e-6, 1.04e-6, 1e-7))  # rounds to a single point
        assert c.lengths == (1e-6, 1.04e-6, 1e-7)
        assert repr(c).endswith("L=1.000e-6)")

    def test_read_only(self):
        with pytest.raises(AttributeError):
            tavlo.LutConfig().width = 1.0

    @pytest.mark.parametrize("kwargs, arg", [
        ({"vgs": None}, "vgs"), ({"vds": (1.0, 2.0)}, "vds"), ({"width": "wide"}, "width"),
        ({"device_type": 1}, "device_type"), ({"model_file": 3}, "model_file"), ({"lengths": (1, "a", 2)}, "lengths"),
    ], ids=["vgs-none", "vds-two", "width-str", "device-int", "file-int", "lengths-item"])
    def test_type_errors_name_the_argument(self, kwargs, arg):
        with pytest.raises(TypeError, match=f"^argument '{arg}': "):
            tavlo.LutConfig(**kwargs)


class TestTransistorLut:
    def test_no_constructor(self):
        with pytest.raises(TypeError, match="^No constructor defined for TransistorLut$"):
            tavlo.TransistorLut()

    def test_single_length_is_two_dimensional(self):
        lut = make_lut(vgs=VGS10)
        assert lut.lengths is None
        assert lut.id.shape == lut.gm.shape == lut.gds.shape == (10, 3)
        assert lut.vgs.shape == (10,) and lut.vds.shape == (3,)
        assert lut.id.dtype == np.float64
        assert (lut.width, lut.vbs) == (1e-5, 0.0)
        assert repr(lut) == "TransistorLut(L=5.000e-7, n_vgs=10, n_vds=3)"

    def test_sweep_is_three_dimensional(self):
        lut = make_lut(lengths=(1e-7, 2e-7), vgs=VGS10)
        assert lut.lengths.tolist() == [1e-7, 2e-7]
        assert lut.id.shape == (2, 10, 3)
        assert lut.id[1, 4, 2] == pytest.approx(2 * lut.id[0, 4, 2])
        assert repr(lut) == "TransistorLut(n_l=2, n_vgs=10, n_vds=3)"

    def test_arrays_are_independent_copies(self):
        lut = make_lut()
        a = lut.id
        before = a[3, 1]
        a[3, 1] = 42.0
        assert lut.id[3, 1] == before
        assert lut.vgs is not lut.vgs

    def test_from_arrays_checks_shapes(self):
        z = np.zeros((2, 3, 5))
        with pytest.raises(ValueError,
                           match=r"^id has shape \(2, 3, 4\), expected \(2, 3, 5\) from lengths, vgs and vds$"):
            tavlo.TransistorLut._from_arrays(1e-5, 0, [1, 2], [0, 1, 2], np.arange(5), np.zeros((2, 3, 4)), z, z)
        with pytest.raises(ValueError, match=r"^gds has shape"):
            tavlo.TransistorLut._from_arrays(1e-5, 0, [1, 2], [0, 1, 2], np.arange(5), z, z, z[:1])
        with pytest.raises(ValueError, match=r"^vgs must be a 1-D array, got shape \(1, 3\)$"):
            tavlo.TransistorLut._from_arrays(1e-5, 0, [1, 2], [[0, 1, 2]], np.arange(5), z, z, z)
        with pytest.raises(ValueError, match="^lengths must hold at least one value$"):
            tavlo.TransistorLut._from_arrays(1e-5, 0, [], [0], [0], np.zeros((0, 1, 1)), np.zeros((0, 1, 1)),
                                             np.zeros((0, 1, 1)))

    def test_csv_matches_arrays_to_six_decimals(self, tmp_path):
        lut = make_lut(lengths=(1e-7, 2e-7), vgs=VGS10)
        path = tmp_path / "lut.csv"
        assert lut.to_csv(str(path)) is None
        lines = path.read_text().splitlines()
        assert lines[0] == "L,Vgs,Vds,Id,gm,gds"
        assert len(lines) == 1 + 2 * 10 * 3
        rows = [[float(x) for x in line.split(",")] for line in lines[1:]]
        for n, (l, vgs, vds, id_, gm, gds) in enumerate(rows):
            k, i, j = n // 30, n // 3 % 10, n % 3
            expected = (lut.lengths[k], lut.vgs[i], lut.vds[j], lut.id[k, i, j], lut.gm[k, i, j], lut.gds[k, i, j])
            assert (l, vgs, vds, id_, gm, gds) == tuple(float(f"{x:.6e}") for x in expected)
        make_lut(vgs=VGS10).to_csv(path)  # os.PathLike works too, and a rewrite replaces the file
        assert len(path.read_text().splitlines()) == 31

    def test_csv_io_error_carries_the_os_text(self, tmp_path):
        target = tmp_path / "missing" / "lut.csv"
        with pytest.raises(OSError) as info:
            make_lut().to_csv(str(target))
        assert info.value.args == (f"{os.strerror(2)} (os error 2)",)
        assert not target.parent.exists()
        with pytest.raises(ValueError):
            make_lut().to_csv(str(tmp_path / "a\0b"))
        assert list(tmp_path.iterdir()) == []


    @pytest.mark.parametrize("writer", ["TransistorLut", "MosTable"])
    def test_a_failed_csv_write_keeps_the_old_file(self, tmp_path, writer):
        old = tmp_path / "lut.csv"
        make_lut().to_csv(old)
        before = old.read_bytes()
        # A file-size limit makes the write fail part-way, as a full disk would.
        script = f"""
import resource, signal, numpy as np, tavlo
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
n = np.linspace(0.0, 1.8, 300)
t = np.ones((1, 300, 300))
lut = tavlo.TransistorLut._from_arrays(1e-5, 0.0, [1e-7], n, n, t, t, t)
resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
try:
    ({'lut' if writer == 'TransistorLut' else 'tavlo.MosTable(lut)'}).to_csv({str(old)!r})
except OSError as e:
    print("OSError", e)
"""
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.stdout.strip() == f"OSError {os.strerror(errno.EFBIG)} (os error {errno.EFBIG})", out.stderr
        assert old.read_bytes() == before
        assert os.listdir(tmp_path) == ["lut.csv"]  # no temporary file left behind


class TestDesign:
    def test_arguments(self):
        lut = make_lut()
        with pytest.raises(TypeError):
            lut.design(15.0)
        with pytest.raises(TypeError, match="^argument 'gm_id_min': "):
            lut.design(gm_id=15.0, gm_id_min=None)
        with pytest.raises(TypeError, match="^argument 'gain': "):
            lut.design(gain="high")
        for kwargs in ({}, {"vds": 0.9}):
            with pytest.raises(ValueError, match=r"^at least one constraint \(gm_id, gain, ids\) must be specified$"):
                lut.design(**kwargs)
        with pytest.raises(RuntimeError) as info:
            lut.design(gm_id=30.0)
        assert str(info.value) == NO_POINT_30
        assert lut.design(gm_id=30, gm_id_max=35).gm_over_id == pytest.approx(30, rel=5e-3)

    def test_gm_id_and_current(self):
        res = make_lut().design(gm_id=15, ids=1e-4, id_min=None)
        assert res.id == pytest.approx(1e-4, rel=1e-12)
        assert res.gm_over_id == pytest.approx(15, rel=1e-3)
        assert res.vgs == pytest.approx(2 / 15, rel=1e-3)
        assert res.vds == 0.9
        assert res.gm == pytest.approx(res.gm_over_id * res.id)
        errors = res.constraint_errors
        assert errors[0][1] == pytest.approx((res.gm_over_id - 15) / 15)
        assert [name for name, _ in errors] == ["gm/Id", "Ids"]
        assert errors[1] == ("Ids", 0.0)
        assert errors is not res.constraint_errors and errors == res.constraint_errors
        errors.clear()
        assert len(res.constraint_errors) == 2

    def test_repr_and_properties(self):
        # Only a current target on a table whose first point passes: Vgs index 0, width scaled by 4.
        res = make_lut(vgs=[0.1, 0.2]).design(ids=4 * 1e-5 * 0.01 * 1.09)
        assert repr(res) == ("DesignResult(W=4.000e-5, L=5.000e-7, Vgs=0.100, Vds=0.900, Id=4.360e-7, "
                             "gm/Id=20.00, gain=218.0)")
        assert (res.l, res.vgs) == (5e-7, 0.1)
        assert res.gm == pytest.approx(4 * 2e-6 * 1.09)
        assert res.gds == pytest.approx(4 * 1e-8)
        with pytest.raises(TypeError, match="^No constructor defined for DesignResult$"):
            tavlo.DesignResult()
        with pytest.raises(AttributeError):
            res.w = 1.0

    def test_zero_gds_gives_infinite_gain(self):
        res = make_lut(gds_scale=0.0).design(gm_id=15.0, gain=30.0)
        assert math.isinf(res.gain)
        assert res.constraint_errors[1] == ("gain", math.inf)
        assert repr(res).endswith(", gain=inf)")
