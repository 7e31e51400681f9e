"""Time and peak memory of decoding hostile documents, each in a fresh process.

    .venv/bin/python bench/hostile.py [--cap-gb 8] [--only NAME]

Each case runs in a child process under an address-space limit, so a decoder
that allocates what a document claims fails (or is killed) instead of
swapping. Reported: wall time, the child's peak RSS, the peak traced by
tracemalloc, and how the decode ended. The documents are the ones the
hostile-input tests use, at full size.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

CASES = {
    # 9 000 nested lists each claiming 54 000 items, 99 kB in all
    "nested-lists": "b'<o>' + (b'\\x0d' + size(54_000)) * 9000 + b'\\x1e' * 54_000",
    # the same claims made by dicts of both forms and by row lists
    "nested-dicts": "b'<o>' + (b'\\x0f' + size(27_000) + b'\\x1e') * 9000 + b'\\x1e' * 54_000",
    "nested-str-key-dicts": "b'<o>' + (b'\\x10' + size(27_000) + b'\\x02\\xfea') * 9000 + b'\\x1e' * 54_000",
    "nested-rows": "b'<o>' + (b'\\x13' + size(27_000) + b'\\x01\\x1e') * 9000 + b'\\x1e' * 54_000",
    # 2 000 levels of lists, 1 MB: the claims add up to about 16 GB of slots
    "deep-1mb": "b'<o>' + (b'\\x0d' + size(500_000)) * 2000 + b'\\x1e' * 990_000",
    # 3 000 int keys that all hash to 0, 300 rows (937 kB), and its distinct-keys control
    "colliding-rows": "rows([k * M for k in range(3000)], 300)",
    "distinct-rows": "rows(list(range(1 << 20, (1 << 20) + 3000)), 300)",
    # a plain dict of 20 000 colliding keys, and its control
    "colliding-dict": "plain_dict([k * M for k in range(20_000)])",
    "distinct-dict": "plain_dict(list(range(1 << 20, (1 << 20) + 20_000)))",
}

CHILD = r"""
import resource, sys, time, tracemalloc
resource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))
import pyquarl
M = (1 << 61) - 1

def size(n):
    if n < 255:
        return bytes([n])
    m, out = n - 255, [255]
    while m:
        out.append(m % 255)
        m //= 255
    return bytes(out + [255])

def enc_int(k):
    return pyquarl.dumps(k)[3:]

def rows(keys, count):
    first = b"".join(enc_int(k) + b"\x1e" for k in keys)
    return b"<o>\x13" + size(count) + size(len(keys)) + first + b"\x1e" * (len(keys) * (count - 1))

def plain_dict(keys):
    return b"<o>\x0f" + size(len(keys)) + b"".join(enc_int(k) + b"\x1e" for k in keys)

data = {expr}
tracemalloc.start() if {traced} else None
start = time.perf_counter()
try:
    pyquarl.loads(data)
    outcome = "decoded"
except BaseException as error:
    outcome = type(error).__name__ + ": " + str(error)[:60]
elapsed = time.perf_counter() - start
traced = tracemalloc.get_traced_memory()[1] if {traced} else 0
peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(repr((len(data), elapsed, peak_kb * 1024, traced, outcome)))
"""


def run(name: str, cap: int, traced: bool) -> dict:
    code = CHILD.format(cap=cap, expr=CASES[name], traced=traced)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if result.returncode != 0:
        return {"case": name, "outcome": f"exit {result.returncode}: {result.stderr.strip()[-200:]}"}
    size, elapsed, rss, peak, outcome = eval(result.stdout.strip().splitlines()[-1])
    return {"case": name, "bytes": size, "seconds": round(elapsed, 3), "peak_rss_mb": round(rss / 2**20, 1),
            "traced_peak_mb": round(peak / 2**20, 1), "outcome": outcome}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cap-gb", type=float, default=8.0, help="address-space limit of each child")
    parser.add_argument("--only", action="append", choices=sorted(CASES), help="run this case only; repeatable")
    parser.add_argument("--traced", action="store_true", help="also trace allocations (slower)")
    args = parser.parse_args()
    for name in args.only or CASES:
        print(json.dumps(run(name, int(args.cap_gb * 2**30), args.traced)), flush=True)


if __name__ == "__main__":
    main()
