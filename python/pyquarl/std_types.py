"""Ready custom types for everyday standard-library values (``std_types=True``).

Each type that reads back as itself is written as a custom-type value: a
short identifier, then a plain value, so any reader of the format can decode
the document (and rebuild the value with a loader of its own)::

    identifier   type                          value written
    "datetime"   datetime.datetime             ISO text; or [local ISO text, fold, zone]
    "date"       datetime.date                 ISO text "2024-05-01"
    "time"       datetime.time                 ISO text; or [local ISO text, fold, zone]
    "timedelta"  datetime.timedelta            [days, seconds, microseconds]
    "uuid"       uuid.UUID                     its 16 bytes
    "decimal"    decimal.Decimal               str(value), "NaN" and "-Infinity" included
    "set"        set                           list of the items
    "frozenset"  frozenset                     list of the items
    "complex"    complex                       [real, imag]
    "bytearray"  bytearray                     bytes
    "path"       pathlib.PurePath (any kind)   str(path); read back as pathlib.Path

A datetime or time is written as its ISO text when that text says all: no
time zone, or a fixed UTC offset without a name, and ``fold`` 0. Otherwise
it is the list [ISO text without the offset, fold, zone], where zone is the
key of a ``zoneinfo.ZoneInfo`` (a str), or [offset in microseconds] or
[offset in microseconds, name] for a ``datetime.timezone``. Other tzinfo
classes are written as the fixed offset (and name) they give for the value.

One way (read back as the plain value): ``Enum`` members (``IntEnum``,
``StrEnum``, flags) as their value; ``OrderedDict``, ``defaultdict`` and
``Counter`` as dicts; namedtuples as lists; dataclass instances as a dict of
their fields. Register the class in ``custom_types`` to read it back as
itself: the caller's ``custom_types`` always come first.
"""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import enum
import pathlib
import uuid
import zoneinfo
from collections import Counter, OrderedDict, defaultdict
from collections.abc import Callable
from typing import Any

from .exceptions import SerializationError
from .serialize.settings import CustomType

__all__ = ["ENCODERS", "LOADERS", "fallback"]

_MICROSECOND = datetime.timedelta(microseconds=1)
_UTC = datetime.timezone.utc


def _zone(tzinfo: datetime.tzinfo, offset: datetime.timedelta | None) -> object:
    if isinstance(tzinfo, zoneinfo.ZoneInfo) and tzinfo.key is not None:
        return tzinfo.key
    if offset is None:
        raise ValueError(f"the time zone {tzinfo!r} gives no UTC offset for this value")
    name = tzinfo.tzname(None) if type(tzinfo) is datetime.timezone else None
    default_name = datetime.timezone(offset).tzname(None)
    micros = offset // _MICROSECOND
    return [micros] if name is None or name == default_name else [micros, name]


def _has_plain_offset(tzinfo: datetime.tzinfo) -> bool:
    """A fixed offset without a name of its own: exactly what ISO text keeps."""
    if tzinfo is _UTC:
        return True
    if type(tzinfo) is not datetime.timezone:
        return False
    offset = tzinfo.utcoffset(None)
    return tzinfo.tzname(None) == datetime.timezone(offset).tzname(None)


def _load_zone(zone: object) -> datetime.tzinfo | None:
    if zone is None:
        return None
    if isinstance(zone, str):
        return zoneinfo.ZoneInfo(zone)
    if isinstance(zone, (list, tuple)) and 1 <= len(zone) <= 2:
        return datetime.timezone(datetime.timedelta(microseconds=zone[0]), *zone[1:])
    raise ValueError(f"not a time zone: {zone!r}")


def _dump_datetime(value: datetime.datetime) -> object:
    tzinfo = value.tzinfo
    if value.fold == 0 and (tzinfo is None or _has_plain_offset(tzinfo)):
        return datetime.datetime.isoformat(value)
    zone = None if tzinfo is None else _zone(tzinfo, value.utcoffset())
    local = datetime.datetime.isoformat(value.replace(tzinfo=None, fold=0))
    return [local, value.fold, zone]


def _load_datetime(value: Any) -> datetime.datetime:
    if isinstance(value, str):
        return datetime.datetime.fromisoformat(value)
    local, fold, zone = value
    return datetime.datetime.fromisoformat(local).replace(fold=fold, tzinfo=_load_zone(zone))


def _dump_time(value: datetime.time) -> object:
    tzinfo = value.tzinfo
    if value.fold == 0 and (tzinfo is None or _has_plain_offset(tzinfo)):
        return datetime.time.isoformat(value)
    zone = None if tzinfo is None else _zone(tzinfo, value.utcoffset())
    return [datetime.time.isoformat(value.replace(tzinfo=None, fold=0)), value.fold, zone]


def _load_time(value: Any) -> datetime.time:
    if isinstance(value, str):
        return datetime.time.fromisoformat(value)
    local, fold, zone = value
    return datetime.time.fromisoformat(local).replace(fold=fold, tzinfo=_load_zone(zone))


def _dump_timedelta(value: datetime.timedelta) -> list[int]:
    return [value.days, value.seconds, value.microseconds]


def _load_timedelta(value: Any) -> datetime.timedelta:
    days, seconds, microseconds = value
    return datetime.timedelta(days=days, seconds=seconds, microseconds=microseconds)


def _hashable(item: object) -> object:
    """Set items that were tuples come back as lists: make them tuples again."""
    if isinstance(item, list):
        return tuple(_hashable(inner) for inner in item)
    return item


def _load_set(items: Any) -> set[Any]:
    return {_hashable(item) for item in items}


def _load_frozenset(items: Any) -> frozenset[Any]:
    return frozenset(_hashable(item) for item in items)


def _load_complex(value: Any) -> complex:
    real, imag = value
    return complex(real, imag)


def _enum_value(member: enum.Enum) -> Any:
    return member.value


# Order matters where types are related: the first entry that applies wins,
# so datetime comes before its base class date.
ENCODERS: dict[type[Any], CustomType] = {
    datetime.datetime: CustomType("datetime", _dump_datetime, include_subclasses=True),
    datetime.date: CustomType("date", datetime.date.isoformat, include_subclasses=True),
    datetime.time: CustomType("time", _dump_time, include_subclasses=True),
    datetime.timedelta: CustomType("timedelta", _dump_timedelta, include_subclasses=True),
    uuid.UUID: CustomType("uuid", lambda value: value.bytes, include_subclasses=True),
    decimal.Decimal: CustomType("decimal", str, include_subclasses=True),
    enum.Enum: CustomType("enum", _enum_value, include_subclasses=True, one_way=True),
    set: CustomType("set", list),
    frozenset: CustomType("frozenset", list),
    complex: CustomType("complex", lambda value: [value.real, value.imag]),
    bytearray: CustomType("bytearray", bytes),
    pathlib.PurePath: CustomType("path", str, include_subclasses=True),
    OrderedDict: CustomType("dict", dict, include_subclasses=True, one_way=True),
    defaultdict: CustomType("dict", dict, include_subclasses=True, one_way=True),
    Counter: CustomType("dict", dict, include_subclasses=True, one_way=True),
}
"""What ``std_types=True`` adds to the ``custom_types`` of the encoding functions."""

LOADERS: dict[Any, Callable[[Any], Any]] = {
    "datetime": _load_datetime,
    "date": datetime.date.fromisoformat,
    "time": _load_time,
    "timedelta": _load_timedelta,
    "uuid": lambda value: uuid.UUID(bytes=bytes(value)),
    "decimal": decimal.Decimal,
    "set": _load_set,
    "frozenset": _load_frozenset,
    "complex": _load_complex,
    "bytearray": bytearray,
    "path": pathlib.Path,
}
"""What ``std_types=True`` adds to the ``custom_types`` of the decoding functions."""


def _is_dataclass_instance(value: object) -> bool:
    return hasattr(type(value), "__dataclass_fields__")


def fallback(default: Callable[[Any], Any] | None) -> Callable[[Any], Any]:
    """The ``default`` hook of ``std_types=True``: dataclass instances (a dict
    of their fields) and namedtuples (a list), then the caller's ``default``.
    """

    def std_default(value: object) -> Any:
        if _is_dataclass_instance(value):
            return {field.name: getattr(value, field.name) for field in dataclasses.fields(value)}  # type: ignore[arg-type]
        if isinstance(value, tuple) and hasattr(type(value), "_fields"):
            return list(value)
        if default is not None:
            return default(value)
        raise SerializationError(f"Unexpected type: {type(value)!r}")

    return std_default
