"""The ``tavlo`` command: characterise a kit transistor into a table file; list the kits found.

Exit status 0 on success, 2 for a usage error (argparse's), 1 when the work fails; errors are
one line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

from . import _matfile, pdk
from ._characterise import plan
from ._pool import SimulationPool

__all__ = ["main"]

# kit: (preset, devices, corners with the default first)
_KITS: Dict[str, Tuple[Callable[..., Any], Tuple[str, ...], Tuple[str, ...]]] = {
    "sky130": (pdk.sky130, tuple(pdk._SKY130), pdk._SKY130_CORNERS),
    "gf180mcu": (pdk.gf180mcu, tuple(pdk._GF180), pdk._GF180_CORNERS),
}
_SUFFIXES = (".mat", ".npz", ".csv")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}")
    return value


def _parser() -> Tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    parser = argparse.ArgumentParser(prog="tavlo", description="Parallel ngspice characterisation into gm/Id tables.")
    parser.add_argument("--version", action="version", version=f"tavlo {_matfile.tavlo_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser(
        "characterise", help="characterise a kit transistor into a table file (.mat, .npz or .csv)",
        description="Characterise a process-kit transistor over lengths x Vgs x Vds (x Vsb) and write the table. "
                    "Voltages are magnitudes, for a PMOS too; lengths and widths in metres.")
    run.add_argument("kit", choices=tuple(_KITS), help="the process kit")
    run.add_argument("device", help="the transistor, e.g. nfet_01v8 (sky130) or nfet_03v3 (gf180mcu); "
                                    "'tavlo kits' lists them")
    run.add_argument("--corner", help="process corner (default tt for sky130, typical for gf180mcu)")
    run.add_argument("--root", metavar="DIR", help="the kit's folder (default: $PDK_ROOT, then the sky130 package)")
    run.add_argument("--lengths", nargs="+", type=float, metavar="L",
                     help="gate lengths (m), default the device's smallest")
    for axis, text in (("vgs", "|Vgs|"), ("vds", "|Vds|"), ("vsb", "Vsb, positive is reverse bias")):
        run.add_argument(f"--{axis}", nargs=3, type=float, metavar=("START", "STOP", "STEP"),
                         help=f"{text} sweep (V)" + ("; gives a table over Vsb" if axis == "vsb" else
                                                     ", default 0 to the device's supply"))
    run.add_argument("--temperature", type=float, metavar="CELSIUS", help="default the device's, 27")
    run.add_argument("--width", type=float, default=1e-6, metavar="W", help="gate width (m), default 1e-6")
    run.add_argument("--noise", action="store_true", help="thermal and flicker noise at every point")
    run.add_argument("--workers", type=_positive_int, metavar="N", help="parallel ngspice workers (default: cores)")
    run.add_argument("-o", "--output", required=True, metavar="FILE", help="the table file: .mat, .npz or .csv")
    kits = commands.add_parser("kits", help="list the kits and devices tavlo finds, and where",
                               description="List the process kits and devices tavlo finds, and where.")
    kits.add_argument("--root", metavar="DIR", help="a kit folder to look in instead of the default places")
    return parser, run


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser, run = _parser()
    args = parser.parse_args(argv)
    try:
        return _list_kits(args.root) if args.command == "kits" else _characterise(run, args)
    except KeyboardInterrupt:
        print("tavlo: interrupted", file=sys.stderr)
        return 130


def _fail(why: Any) -> int:
    print(f"tavlo: error: {why}", file=sys.stderr)
    return 1


def _progress() -> Any:
    """tavlo's tqdm bar on a terminal; without tqdm, a one-line count; elsewhere nothing."""
    if not sys.stderr.isatty():
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return _count
    return True


def _count(done: int, total: int) -> None:
    sys.stderr.write(f"\rcharacterising: {done}/{total} jobs" if done < total else "\r\033[K")
    sys.stderr.flush()


def _characterise(run: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    output = args.output
    suffix = os.path.splitext(output)[1].lower()
    if suffix not in _SUFFIXES:
        run.error(f"-o/--output must name a .mat, .npz or .csv file, got {output!r}")
    if suffix == ".csv" and args.vsb is not None:
        run.error("a .csv table holds one body bias; write a .mat or .npz file for a --vsb sweep")
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        run.error(f"-o/--output: the folder {folder} does not exist")
    if suffix == ".mat":
        try:  # before the work, not after it
            _matfile._scipy_io()
        except ImportError as exc:
            return _fail(exc)
    preset, _, corners = _KITS[args.kit]
    try:
        device = preset(args.device, args.corner or corners[0], root=args.root)
    except pdk.KitNotFoundError as exc:
        return _fail(exc)
    except ValueError as exc:
        run.error(str(exc))
    kw: Dict[str, Any] = {"lengths": args.lengths, "temperature": args.temperature, "width": args.width}
    for axis in ("vgs", "vds", "vsb"):
        kw[axis] = None if getattr(args, axis) is None else tuple(getattr(args, axis))
    workers = args.workers or len(os.sched_getaffinity(0))
    try:
        plan(device, workers, **kw)  # every argument checked before any worker starts
    except ValueError as exc:
        run.error(str(exc))
    if args.noise:
        kw["noise"] = True
    kw["progress"] = _progress()
    try:
        with SimulationPool(workers) as pool:
            table = pool.characterise(device, **kw)
        if suffix == ".csv":
            table.to_csv(output)
        else:
            table.save(output)
    except TypeError as exc:
        if args.noise and "noise" in str(exc):
            return _fail("--noise is not available in this tavlo: its characterisation has no noise analysis")
        return _fail(exc)
    except (RuntimeError, ValueError, OSError, ImportError) as exc:
        return _fail(exc)
    return 0


def _list_kits(root: Optional[str]) -> int:
    found = 0
    for kit, (preset, devices, corners) in _KITS.items():
        try:
            device = preset(devices[0], corners[0], root=root)
        except pdk.KitNotFoundError as exc:
            print(f"{kit}: not found; {exc}")
            continue
        found += 1
        print(f"{kit}: {os.path.dirname(device.models[-1].path)}")
        print(f"  devices: {' '.join(devices)}")
        print(f"  corners: {' '.join(corners)}")
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())
