"""A first look at a DUNVEL plot file: one row per parameter with its name,
the number of values, the smallest, the largest and the last value.

    python examples/quicklook.py                   # the sample next to this script
    python examples/quicklook.py run42.plt --width 15
"""

import argparse
import struct
from pathlib import Path

import olvane


def parameter_names(path: Path) -> list[str]:
    """The names from the header: the first line ends with the number of
    parameters, and each of the next lines ends with one name."""
    with open(path, "rb") as file:
        tokens = file.readline().decode("utf-8").split()
        count = int(tokens[-1]) if tokens else 0
        names = []
        for _ in range(count):
            tokens = file.readline().decode("utf-8").split()
            names.append(tokens[-1] if tokens else "")
    return names


def short(value: float) -> str:
    """The value in the file's own notation, with the fewest digits that read
    back as the same 32-bit float. olvane returns 32-bit values widened to
    Python floats, so repr() would show digits that the file never held:
    ' 1.10000E+00' comes back as 1.100000023841858."""
    packed = struct.pack("<f", value)
    for digits in range(1, 9):
        text = f"{value:.{digits - 1}E}"
        if struct.pack("<f", float(text)) == packed:
            return text
    return f"{value:.8E}"  # nine digits tell any two 32-bit floats apart


def main() -> None:
    parser = argparse.ArgumentParser(description="Summarise a DUNVEL plot file.")
    parser.add_argument(
        "path",
        nargs="?",
        default=Path(__file__).with_name("sample.dat"),
        type=Path,
        help="plot file (default: sample.dat next to this script)",
    )
    parser.add_argument(
        "--width", type=int, default=12, help="characters per value: 12 (the default) or 15"
    )
    args = parser.parse_args()

    names = parameter_names(args.path)
    columns = olvane.rust_read_dunvel(str(args.path), args.width)
    blocks = len(columns[0]) if columns else 0
    print(f"{args.path}: {len(columns)} parameters, {blocks} time steps")

    name_width = max([len("parameter"), *map(len, names)])
    print(
        f"{'parameter':<{name_width}}  {'count':>7}  {'minimum':>14}  {'maximum':>14}  {'last':>14}"
    )
    for name, values in zip(names, columns):
        if values:
            low, high, last = short(min(values)), short(max(values)), short(values[-1])
        else:
            low = high = last = "-"
        print(f"{name:<{name_width}}  {len(values):>7}  {low:>14}  {high:>14}  {last:>14}")


if __name__ == "__main__":
    main()
