"""Settings that control how values are encoded."""

from .settings import CustomType

__all__ = ["CustomType"]
