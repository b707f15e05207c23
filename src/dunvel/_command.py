"""The dunvel command (also python -m dunvel): one function per subcommand,
and its lines in _parser(). Errors are one line on standard error each."""

from __future__ import annotations

import argparse
import json
import math
import os
import struct
import sys
from collections.abc import Collection, Sequence
from typing import Any, Callable, NoReturn, TextIO

import numpy as np

import dunvel
from dunvel import _compare, _formats, _plots

_DESCRIPTION = """\
Summarise, compare, convert and draw DUNVEL plot files, compressed or not
(gzip, bzip2, xz, zstd); "-" reads standard input. A first argument that is
not a command is a FILE of "info": "dunvel FILE..." is "dunvel info FILE..."
(a file named like a command is given as ./info)."""

_EPILOG = """\
exit status: 0 done, 1 where diff finds a difference (or where whoever read
the output went before its end: | head), 2 an error (each is one line
"dunvel: ..." on standard error)."""

_NAMES_HELP = (
    "only these parameters: exact names or glob patterns (*, ?, [...]), "
    "comma-separated, and the option given again for more"
)

_INFO_DESCRIPTION = """\
For each FILE, a summary: one row per parameter with its name, the number of
values, the smallest, the largest and the last (NaN where a column holds
one)."""

_JSON_HELP = """\
one JSON object per file, a line each: path, width, names, steps, time (the
first and last step's, and the smallest and largest of those there are) and
per parameter its name, count, minimum, maximum and last; NaN, infinities
and -infinities, which JSON has no numbers for, are the strings "NaN",
"Infinity" and "-Infinity"; each number reads back as the same float32 (a
value) or float64 (a time)"""

_CONVERT_DESCRIPTION = """\
Writes FILE's times and values to OUT, in the format that OUT's suffix names:
.csv (or "-": CSV on standard output), .parquet, .feather (pyarrow), .nc
(xarray and netCDF4) or .h5 (h5py). OUT is written beside itself under a
temporary name and renamed once whole, so that a failed conversion leaves OUT
as it was. A name the header holds twice gets pandas' suffixes (A, A.1, A.2,
...) where the format's columns are keys; a netCDF variable's name has "%",
"/" and control characters as %XX (and "_" in front of a name that does not
start with a letter or a digit), its long_name the name itself."""


_DIFF_DESCRIPTION = """\
Compares NEW with BASE, two runs of one transient, as dunvel.compare does:
parameters by name, steps by time (after leaving out what restarts
superseded, unless --restarts keep). Prints a row for each parameter that
differs (its largest absolute and relative difference, BASE's time of each,
the number of steps that differ), the names and steps of one run only, then
a summary line. By default values must be the same bits; two values differ
where |new - base| > A + R * |base|. Exit status 1 where anything
differs."""

_DIFF_JSON_HELP = """\
the comparison as one JSON object: ok, the paths, steps_compared, per
parameter its largest differences and their times, the names and steps of
one run only, the steps left out; a missing time is null, an infinity the
string "Infinity"."""


_PLOT_DESCRIPTION = """\
Draws the runs side by side into OUT, as dunvel.plot does: one panel per
parameter that -n selects (each run must hold every one), one line per run
against time (against the step number where a step has no time, or against
the parameter --x), the legend naming the runs by their file names. OUT's
suffix names the drawing: .png, .svg or .pdf (matplotlib), or .html (Plotly:
one page that opens without a network, to zoom, pan, read values and show or
hide runs). Prints nothing."""


class UsageError(Exception):
    """A command line that the command cannot run; ``where`` is the
    command whose --help tells more (None: the one being run)."""

    def __init__(self, message: str, where: str | None = None) -> None:
        super().__init__(message)
        self.where = where


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message, self.prog)


def _common(parser: argparse.ArgumentParser) -> None:
    """The options of every subcommand."""
    parser.add_argument(
        "--width", type=int, help="characters per field (default: found from the file, 12 or 15)"
    )
    parser.add_argument("-n", "--names", action="append", metavar="PATTERN", help=_NAMES_HELP)


def _subcommand(commands: Any, name: str, help: str, description: str) -> argparse.ArgumentParser:
    """A subcommand's parser, with the options of every subcommand."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name,
        help=help,
        description=description,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _common(parser)
    return parser


def _parser(prog: str) -> tuple[_Parser, Collection[str]]:
    parser = _Parser(
        prog=prog, description=_DESCRIPTION, epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)

    info = _subcommand(commands, "info", "a summary of each file", _INFO_DESCRIPTION)
    info.add_argument("files", nargs="+", metavar="FILE", help='plot files ("-": standard input)')
    info.add_argument("--json", action="store_true", help=_JSON_HELP)
    info.add_argument(
        "--csv",
        metavar="OUT",
        help='also write the values as CSV (one FILE only), as convert does; "-": to standard output, the'
        " summary then going to standard error",
    )
    info.set_defaults(run=_info)

    convert = _subcommand(commands, "convert", "the values as CSV, Parquet, Feather, netCDF or HDF5", _CONVERT_DESCRIPTION)
    convert.add_argument("file", metavar="FILE", help='a plot file ("-": standard input)')
    convert.add_argument("out", metavar="OUT", help="the file to write (.csv, .parquet, .feather, .nc, .h5, or -)")
    convert.set_defaults(run=_convert)

    diff = _subcommand(commands, "diff", "what differs between two runs", _DIFF_DESCRIPTION)
    diff.add_argument("base", metavar="BASE", help='the reference run ("-": standard input)')
    diff.add_argument("new", metavar="NEW", help='the run compared with it ("-": standard input)')
    diff.add_argument("--rtol", type=float, default=0.0, metavar="R", help="relative tolerance (default 0)")
    diff.add_argument("--atol", type=float, default=0.0, metavar="A", help="absolute tolerance (default 0)")
    diff.add_argument(
        "--time-tolerance", type=float, default=0.0, metavar="T", help="steps match where their times are this close"
    )
    diff.add_argument(
        "--interpolate", action="store_true", help="NEW's values interpolated linearly onto BASE's times"
    )
    diff.add_argument(
        "--restarts",
        choices=("drop", "keep"),
        default="drop",
        help="drop (the default): leave out of each run the steps that a restart superseded",
    )
    diff.add_argument("--json", action="store_true", help=_DIFF_JSON_HELP)
    diff.set_defaults(run=_diff)

    plot = _subcommand(
        commands, "plot", "runs drawn side by side, as PNG, SVG, PDF or an interactive page", _PLOT_DESCRIPTION
    )
    plot.add_argument("files", nargs="+", metavar="FILE", help='plot files ("-": standard input)')
    plot.add_argument("--x", metavar="NAME", help="the parameter along the x axis (default: time)")
    plot.add_argument(
        "--restarts",
        choices=("drop", "keep"),
        default="drop",
        help="drop (the default): leave out of each run the steps that a restart superseded",
    )
    plot.add_argument("--out", required=True, metavar="OUT", help="the file to write (.png, .svg, .pdf or .html)")
    plot.set_defaults(run=_plot)
    return parser, commands.choices


def _names(args: argparse.Namespace) -> list[str] | None:
    if args.names is None:
        return None
    names = [name for given in args.names for name in given.split(",")]
    if "" in names:
        raise UsageError(f"-n takes names separated by commas, with none empty: {','.join(args.names)!r}")
    return names


def _check_width(width: int | None) -> None:
    if width is not None and width <= 0:
        raise UsageError(f"--width must be positive, not {width}")
    if width is not None and width > 0xFFFFFFFF:
        raise UsageError(f"--width must be at most 4294967295, not {width}")


def _read(path: str, args: argparse.Namespace) -> dunvel.Plot:
    source: Any = sys.stdin.buffer if path == "-" else path
    return dunvel.read(source, args.width, names=_names(args))


def _stdin_once(paths: Sequence[str]) -> None:
    if list(paths).count("-") > 1:
        raise UsageError('"-" (standard input) can be read once only')


def _report(error: BaseException) -> None:
    print("dunvel: " + " ".join(str(error).splitlines()), file=sys.stderr)


# What a file that cannot be read raises: reported, and the next one read.
_READ_ERRORS = (OSError, ValueError, KeyError, ImportError)


def short(value: float) -> str:
    """The value in the file's own notation with the fewest digits that read
    back as the same binary32: 1.1 comes back as '1.1E+00', not as the
    1.100000023841858 that the widened double prints."""
    packed = struct.pack("<f", value)
    for digits in range(1, 10):
        text = f"{value:.{digits - 1}E}"
        if struct.pack("<f", float(text)) == packed:
            return text
    return f"{value:.8E}"


def summary(plot: dunvel.Plot, out: TextIO) -> None:
    print(f"{plot.path}: {plot.n_parameters} parameters, {plot.n_steps} time steps", file=out)
    name_width = max([len("parameter"), *map(len, plot.names)])
    print(
        f"{'parameter':<{name_width}}  {'count':>7}  {'minimum':>14}  {'maximum':>14}  {'last':>14}",
        file=out,
    )
    values = plot.values
    if plot.n_steps:
        lows, highs, lasts = values.min(axis=0), values.max(axis=0), values[-1]
    for j, name in enumerate(plot.names):
        if plot.n_steps:
            low, high, last = short(lows[j]), short(highs[j]), short(lasts[j])
        else:
            low = high = last = "-"
        print(f"{name:<{name_width}}  {plot.n_steps:>7}  {low:>14}  {high:>14}  {last:>14}", file=out)


def _number(value: float) -> float | str | None:
    """A number as JSON holds it: the non-finite ones as strings."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return value


def _value(value: np.float32) -> float | str | None:
    # The shortest text of the binary32, not of the widened double: 1.1, not
    # 1.100000023841858.
    return _number(float(str(value)))


def description(plot: dunvel.Plot) -> dict[str, Any]:
    """What info --json prints of a plot."""
    times = plot.times
    timed = times[~np.isnan(times)]
    stepped = plot.n_steps > 0
    if stepped:
        lows, highs, lasts = plot.values.min(axis=0), plot.values.max(axis=0), plot.values[-1]
    return {
        "path": plot.path,
        "width": plot.width,
        "names": list(plot.names),
        "steps": plot.n_steps,
        "time": {
            "first": _number(float(times[0])) if stepped else None,
            "last": _number(float(times[-1])) if stepped else None,
            "minimum": _number(float(timed.min())) if timed.size else None,
            "maximum": _number(float(timed.max())) if timed.size else None,
        },
        "parameters": [
            {
                "name": name,
                "count": plot.n_steps,
                "minimum": _value(lows[j]) if stepped else None,
                "maximum": _value(highs[j]) if stepped else None,
                "last": _value(lasts[j]) if stepped else None,
            }
            for j, name in enumerate(plot.names)
        ],
    }


def _info(args: argparse.Namespace) -> int:
    _stdin_once(args.files)
    if args.csv is not None and len(args.files) != 1:
        raise UsageError("--csv takes one FILE only")
    out = sys.stderr if args.csv == "-" else sys.stdout
    status = 0
    shown = 0
    for path in args.files:
        try:
            plot = _read(path, args)
        except _READ_ERRORS as error:
            _report(error)
            status = 2
            continue
        if args.json:
            print(json.dumps(description(plot), allow_nan=False), file=out)
        else:
            if shown:
                print(file=out)
            summary(plot, out)
        shown += 1
        if args.csv == "-":
            _formats.write_csv(plot, sys.stdout)
        elif args.csv is not None:
            _write_csv_to(plot, args.csv)
    return status


def _write_csv_to(plot: dunvel.Plot, out: str) -> None:
    def write(path: str) -> None:
        with open(path, "w", encoding="utf-8", newline="") as file:
            _formats.write_csv(plot, file)

    _formats.replace(out, write)


def _convert(args: argparse.Namespace) -> int:
    write: Callable[[dunvel.Plot], None] | None
    if args.out == "-":
        write = lambda plot: _formats.write_csv(plot, sys.stdout)
    else:
        write = _formats.writer(args.out)
    if write is None:
        known = ", ".join(_formats.WRITERS)
        raise UsageError(f"cannot tell a format from the suffix of {args.out!r}: give {known}, or - for CSV on"
                         " standard output")
    plot = _read(args.file, args)
    try:
        write(plot)
    except BrokenPipeError:
        raise
    except (OSError, ValueError, RuntimeError) as error:
        # What a library refuses (a netCDF name too long, ...) is the file's
        # problem, not a fault of the command.
        raise _WriteError(f"cannot write {args.out!r}: {error}") from error
    return 0


class _WriteError(Exception):
    pass


def _diff(args: argparse.Namespace) -> int:
    _stdin_once([args.base, args.new])
    base, new = _read(args.base, args), _read(args.new, args)
    try:
        found = dunvel.compare(
            base,
            new,
            rtol=args.rtol,
            atol=args.atol,
            time_tolerance=args.time_tolerance,
            interpolate=args.interpolate,
            restarts=args.restarts,
        )
    except ValueError as error:  # a tolerance that is negative or NaN
        raise UsageError(str(error)) from error
    for label, dropped in (("BASE", found.dropped_base), ("NEW", found.dropped_new)):
        if dropped.size:
            steps = "step" if dropped.size == 1 else "steps"
            print(f"dunvel: left out {dropped.size} {steps} of {label} that a restart superseded", file=sys.stderr)
    if args.json:
        print(json.dumps(_compare.as_json(found), allow_nan=False))
    else:
        sys.stdout.write(_compare.render(found))
    return 0 if found.ok else 1


def _plot(args: argparse.Namespace) -> int:
    _stdin_once(args.files)
    names = _names(args)
    if names is None:
        raise UsageError("-n is required: the parameters to draw")
    suffix = os.path.splitext(args.out)[1].lower()
    backend = _plots.SUFFIXES.get(suffix)
    if backend is None:
        known = ", ".join(_plots.SUFFIXES)
        raise UsageError(f"cannot tell a drawing from the suffix of {args.out!r}: give {known}")
    # Before any file is read: a missing library fails at once.
    _formats.need(backend, f"drawing {suffix}")
    runs = [sys.stdin.buffer if path == "-" else path for path in args.files]
    plots = [dunvel.read(run, args.width, names=[*names, *([args.x] if args.x else [])]) for run in runs]
    try:
        dunvel.plot(plots, names, x=args.x, out=args.out, restarts=args.restarts)
    except (OSError, RuntimeError) as error:
        raise _WriteError(f"cannot write {args.out!r}: {error}") from error
    return 0


def main(argv: Sequence[str] | None = None, prog: str = "dunvel") -> int:
    """Runs the command with argv (None: sys.argv's); returns its exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser, commands = _parser(prog)
    if arguments and arguments[0] not in commands and arguments[0] not in ("-h", "--help"):
        arguments.insert(0, "info")
    where = prog
    try:
        args = parser.parse_args(arguments)
        where = f"{prog} {args.command}"
        _check_width(args.width)
        _names(args)
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except UsageError as error:
        print(f"dunvel: {error} (see {error.where or where} --help)", file=sys.stderr)
        return 2
    except BrokenPipeError:
        raise
    except (*_READ_ERRORS, _WriteError) as error:
        _report(error)
        return 2


def run(prog: str = "dunvel") -> NoReturn:
    """The console script's entry, and python -m dunvel's."""
    try:
        status = main(prog=prog)
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the output has gone (`| head`): nothing to report.
        # Standard output goes to /dev/null so that the flush at exit does
        # not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)
