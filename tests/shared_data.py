"""Where the real-world JSON files used by the tests live.

QUARL_DATA_DIR when set, else ``../shared/data`` beside the checkout, else
``/work/shared/data``. Tests that need the files skip, saying why, when none
of these exists.
"""

import os
from pathlib import Path

_CANDIDATES = [
    os.environ.get("QUARL_DATA_DIR"),
    Path(__file__).resolve().parents[2] / "shared" / "data",
    "/work/shared/data",
]

DATA_DIR = next((Path(c) for c in _CANDIDATES if c and (Path(c) / "json-bench").is_dir()), None)
MISSING = "real-world JSON data not found (set QUARL_DATA_DIR to the folder holding json-bench/)"
