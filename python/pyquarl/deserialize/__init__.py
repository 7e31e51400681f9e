"""Helpers for reading encoded data."""

from .lazy_load import Idx

__all__ = ["Idx"]
