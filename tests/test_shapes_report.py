"""The document-shapes table of the benchmark report: against the fastest peer, worst and best ratios named."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import report, shapes  # noqa: E402


def libs(ours: tuple[float, float], **rivals: tuple[float, float]) -> dict[str, dict[str, float | None]]:
    out = {"pyquarl": {"dump": ours[0], "load": ours[1], "na": None}}
    out.update({name: {"dump": d, "load": ld, "na": None} for name, (d, ld) in rivals.items()})
    return out


def test_ratio_is_against_the_fastest_peer_per_operation() -> None:
    found = shapes.ratios(libs((2e-6, 1e-6), orjson=(1e-6, 4e-6), marshal=(4e-6, 2e-6)))
    assert found["dump"] == {"ratio": 2.0, "best": "orjson"}
    assert found["load"] == {"ratio": 0.5, "best": "marshal"}


def test_a_peer_that_cannot_take_the_shape_is_left_out() -> None:
    table = libs((1e-6, 1e-6), orjson=(5e-7, 5e-7))
    table["msgspec"] = {"na": "cannot encode: int too big"}
    assert shapes.ratios(table)["dump"]["best"] == "orjson"
    assert shapes.ratios(libs((1e-6, 1e-6))) == {}


def test_section_names_worst_and_best_shapes() -> None:
    results = {}
    for name, ours in (("tiny", (3e-7, 1e-7)), ("big", (1e-3, 4e-3)), ("mid", (1e-5, 1e-5))):
        table = libs(ours, msgspec=(1e-7, 2e-7), orjson=(2e-3, 1e-5))
        results[name] = {"libs": table, **shapes.ratios(table)}
    text = "\n".join(report.shapes_section(results))
    assert "| tiny | 300 ns | msgspec 100 ns | 3.00x |" in text
    assert "- dump: worst ratio 10000.00x (big), best 3.00x (tiny)" in text
    assert "- load: worst ratio 20000.00x (big), best 0.50x (tiny)" in text
