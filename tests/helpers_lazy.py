"""The lazy-reader helpers under their old names; they live in conftest now."""

from conftest import (END, MARKER, ascii_str, assert_misses, assert_resolves, doc, inline_key, misses, paths, raw_idx,
                      same_value, size)
from conftest import assert_memory_flat as assert_no_growth

__all__ = ["END", "MARKER", "ascii_str", "assert_misses", "assert_no_growth", "assert_resolves", "doc", "inline_key",
           "misses", "paths", "raw_idx", "same", "size"]


def same(a, b):
    return same_value(a, b, ordered=True)
