"""The byte examples in docs/format.md are what dumps produces."""

import datetime
import re
from pathlib import Path

import pytest

from conftest import Point
from pyquarl import CustomType, dumps

FORMAT = Path(__file__).resolve().parents[1] / "docs" / "format.md"
EXAMPLES = re.findall(r"^>>> (.+)\n([0-9A-F]{2}(?: [0-9A-F]{2})*)$", FORMAT.read_text() if FORMAT.exists() else "",
                      re.MULTILINE)


def test_the_format_document_has_examples():
    if not FORMAT.exists():
        pytest.skip("docs/ is not part of this copy of the tests")
    assert len(EXAMPLES) >= 30


@pytest.mark.parametrize("expression, expected", EXAMPLES, ids=lambda value: value[:40])
def test_format_example(expression, expected):
    namespace = {"dumps": dumps, "CustomType": CustomType, "datetime": datetime, "Point": Point, "p": Point(1, 2)}
    assert eval(expression, namespace).hex(" ").upper() == expected
