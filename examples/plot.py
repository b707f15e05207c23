"""The two sample runs side by side, as the README's picture shows them, into
OUT (default runs.png; .svg, .pdf, or .html for a page to zoom into):

    python examples/plot.py docs/sample-plot.png

`dunvel plot FILE... -n NAME,... --out OUT` draws the same from the shell.
Needs matplotlib (pip install 'olvane[matplotlib]'), or plotly for .html.
"""

import sys
from pathlib import Path

import dunvel

runs = [Path(__file__).parent / "sample.dat", Path(__file__).parent / "late_scram.dat"]
names = ["PRES_CORE_0001", "TEMP_CORE_0002", "POWR_CORE_0005", "TRIP_SCRM_0006"]
dunvel.plot(runs, names, out=sys.argv[1] if len(sys.argv) > 1 else "runs.png")
