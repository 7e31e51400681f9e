"""std_types=True: standard-library values written as custom types with stable
identifiers, and read back as themselves (or, one way, as plain values)."""

import collections
import dataclasses
import datetime
import decimal
import enum
import io
import math
import pathlib
import uuid
import zoneinfo

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from pyquarl import CustomType, SerializationError, contains, dump, dumps, get, Idx, load, loads
from pyquarl.std_types import ENCODERS, LOADERS

UTC = datetime.timezone.utc
PARIS = zoneinfo.ZoneInfo("Europe/Paris")
IST = datetime.timezone(datetime.timedelta(hours=5, minutes=30))
NAMED = datetime.timezone(datetime.timedelta(hours=-5), "EST")
ODD = datetime.timezone(datetime.timedelta(hours=1, seconds=1, microseconds=7))


class LocalZone(datetime.tzinfo):
    """A tzinfo of no known class: written as the offset it gives."""

    def utcoffset(self, dt):
        return datetime.timedelta(hours=2)

    def tzname(self, dt):
        return "L"

    def dst(self, dt):
        return datetime.timedelta(0)


def identical(a, b):
    """Equal, of the same type, and for times with the same tzinfo and fold."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (datetime.datetime, datetime.time)):
        return a.replace(tzinfo=None) == b.replace(tzinfo=None) and a.fold == b.fold and a.tzinfo == b.tzinfo and \
            (a.tzinfo is None or a.tzinfo.tzname(None) == b.tzinfo.tzname(None))
    if isinstance(a, decimal.Decimal):
        return str(a) == str(b)
    if isinstance(a, complex):
        return all(math.isnan(x) and math.isnan(y) or x == y for x, y in ((a.real, b.real), (a.imag, b.imag)))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b))
    return a == b


# the edges; test_round_trip_property covers the ordinary values of each kind
ROUND_TRIPS = [
    datetime.datetime(1, 1, 1),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=IST),
    datetime.datetime(2024, 10, 27, 2, 30, fold=1, tzinfo=PARIS),  # the second 2:30 of that night
    datetime.datetime(2024, 10, 27, 2, 30, fold=1),
    datetime.datetime(2024, 1, 1, tzinfo=ODD),
    datetime.date.min,
    datetime.time(23, 59, 59, 999999, tzinfo=IST),
    datetime.time(1, 2, fold=1, tzinfo=NAMED),
    datetime.timedelta.max,
    datetime.timedelta.min,
    decimal.Decimal("3.14159265358979323846264338327950288"),
    decimal.Decimal("-sNaN12"),
    decimal.Decimal("1E+999999"),
    frozenset({(1, (2, "x")), frozenset({3})}),  # tuples in sets come back as tuples
    {frozenset({1}), (1, 2)},
    complex(float("inf"), float("nan")),
    bytearray(b"\x00\xff" * 300),
    pathlib.Path("/tmp/a b/ü"),
    pathlib.Path("relative"),
]


@pytest.mark.parametrize("value", ROUND_TRIPS, ids=repr)
def test_round_trip(value):
    data = dumps([value, value], std_types=True)
    back = loads(data, std_types=True)
    assert identical(back[0], value) and identical(back[1], value)


def test_zones_read_back_as_the_zone_object_or_as_the_offset_given():
    value = datetime.datetime(2024, 10, 27, 2, 30, fold=1, tzinfo=PARIS)
    back = loads(dumps(value, std_types=True), std_types=True)
    assert back.tzinfo is PARIS and back.fold == 1 and back.utcoffset() == datetime.timedelta(hours=1)
    value = datetime.datetime(2024, 1, 1, 8, tzinfo=LocalZone())  # a zone of no known class
    back = loads(dumps(value, std_types=True), std_types=True)
    assert back == value and back.tzinfo == datetime.timezone(datetime.timedelta(hours=2), "L")


# identifier and plain value of each kind: any reader of the format sees these
WIRE = [
    (datetime.datetime(2024, 5, 1, 12), "datetime", "2024-05-01T12:00:00"),
    (datetime.datetime(2024, 5, 1, tzinfo=IST), "datetime", "2024-05-01T00:00:00+05:30"),
    (datetime.datetime(2024, 5, 1, tzinfo=PARIS), "datetime", ["2024-05-01T00:00:00", 0, "Europe/Paris"]),
    (datetime.datetime(2024, 5, 1, tzinfo=NAMED), "datetime", ["2024-05-01T00:00:00", 0, [-5 * 3600 * 10**6, "EST"]]),
    (datetime.datetime(2024, 5, 1, fold=1), "datetime", ["2024-05-01T00:00:00", 1, None]),
    (datetime.date(2024, 5, 1), "date", "2024-05-01"),
    (datetime.time(7, 30), "time", "07:30:00"),
    (datetime.time(7, 30, tzinfo=PARIS), "time", ["07:30:00", 0, "Europe/Paris"]),
    (datetime.timedelta(days=2, seconds=3, microseconds=4), "timedelta", [2, 3, 4]),
    (uuid.UUID(int=1), "uuid", b"\x00" * 15 + b"\x01"),
    (decimal.Decimal("-1.50"), "decimal", "-1.50"),
    ({3}, "set", [3]),
    (frozenset({3}), "frozenset", [3]),
    (complex(1, 2), "complex", [1.0, 2.0]),
    (bytearray(b"ab"), "bytearray", b"ab"),
    (pathlib.PurePosixPath("/a/b"), "path", "/a/b"),
]


@pytest.mark.parametrize("value, identifier, plain", WIRE, ids=repr)
def test_identifiers_and_plain_values_are_stable(value, identifier, plain):
    seen = []

    def record(identifier):
        return lambda item: seen.append((identifier, item)) or "ok"

    data = dumps(value, std_types=True)
    assert loads(data, custom_types={name: record(name) for name in LOADERS}) == "ok"
    assert seen == [(identifier, plain)]


def test_the_documented_identifiers_are_the_loaders():
    documented = (pathlib.Path(__file__).resolve().parents[1] / "docs" / "format.md")
    if not documented.exists():
        pytest.skip("docs/ is not part of this copy of the tests")
    text = documented.read_text()
    assert all(f"`{name}`" in text for name in LOADERS)


class Colour(enum.Enum):
    RED = "red"
    BLUE = (0, 0, 255)


Level = enum.IntEnum("Level", {"LOW": 1})
Mode = enum.StrEnum("Mode", {"FAST": "fast"})
Perm = enum.IntFlag("Perm", {"R": 4, "W": 2})
Pair = collections.namedtuple("Pair", "a b")


@dataclasses.dataclass
class Inner:
    when: datetime.date
    tags: set


@dataclasses.dataclass(frozen=True, slots=True)
class Outer:
    id: uuid.UUID
    inner: Inner
    price: decimal.Decimal = decimal.Decimal("1.00")
    hidden: int = dataclasses.field(default=0, repr=False)


OUTER = Outer(uuid.UUID(int=7), Inner(datetime.date(2024, 1, 2), {"x"}))

ONE_WAY = [
    (Colour.RED, "red"),
    (Colour.BLUE, [0, 0, 255]),
    (Level.LOW, 1),
    (Mode.FAST, "fast"),
    (Perm.R | Perm.W, 6),
    (collections.OrderedDict(b=1, a=2), {"b": 1, "a": 2}),
    (collections.defaultdict(list, k=[1]), {"k": [1]}),
    (collections.Counter("aab"), {"a": 2, "b": 1}),
    (Pair(1, Pair(2, 3)), [1, [2, 3]]),
    (OUTER, {"id": uuid.UUID(int=7), "inner": {"when": datetime.date(2024, 1, 2), "tags": {"x"}},
             "price": decimal.Decimal("1.00"), "hidden": 0}),
]


@pytest.mark.parametrize("value, plain", ONE_WAY, ids=repr)
def test_one_way_values_read_back_plain(value, plain):
    back = loads(dumps(value, std_types=True), std_types=True)
    assert back == plain and type(back) is type(plain)


def test_what_comes_first():
    # the caller's own custom types, then std_types, then default=; serialize_dates before all
    colour = CustomType("colour", lambda c: c.name)
    inner = CustomType("inner", lambda i: [i.when, sorted(i.tags)])
    data = dumps([Colour.RED, OUTER], std_types=True, custom_types={Colour: colour, Inner: inner})
    loaders = {"colour": Colour.__getitem__, "inner": lambda pair: Inner(pair[0], set(pair[1]))}
    back = loads(data, std_types=True, custom_types=loaders)
    assert back[0] is Colour.RED and back[1]["inner"] == OUTER.inner
    # the caller's loaders replace the ready ones
    assert loads(dumps(datetime.date(2024, 1, 2), std_types=True), std_types=True, custom_types={"date": str}) == \
        "2024-01-02"
    seen = []
    data = dumps([OUTER, object(), Pair(1, 2)], std_types=True, default=lambda value: seen.append(type(value)) or "other")
    assert loads(data, std_types=True)[1:] == ["other", [1, 2]] and seen == [object]
    value = datetime.datetime(2024, 5, 1, 12)
    assert loads(dumps(value, std_types=True, serialize_dates=True), std_types=True) == "2024-05-01T12:00:00"


def test_what_is_refused():
    for value, message in [(object(), "Unexpected type: <class 'object'>"),
                           ({(1, 2): datetime.date.min}, "Invalid type for dict key: tuple")]:
        with pytest.raises(SerializationError) as caught:
            dumps(value, std_types=True)
        assert str(caught.value) == message
    with pytest.raises(SerializationError, match="Unexpected type: <class 'uuid.UUID'>"):
        dumps(uuid.UUID(int=1))  # without the option
    with pytest.raises(Exception, match="Unknown custom type"):
        loads(dumps(uuid.UUID(int=1), std_types=True))
    for flag in (1, "yes", None):
        with pytest.raises(TypeError, match="^std_types must be True or False"):
            dumps(1, std_types=flag)


def test_every_reader_takes_the_option():
    doc = {"rows": [{"id": uuid.UUID(int=3), "at": datetime.date(2020, 1, 1)}]}
    data = dumps(doc, std_types=True)
    assert get(data, "rows", Idx(0), "id", std_types=True) == uuid.UUID(int=3)
    assert contains(data, "rows", Idx(0), "at", std_types=True, include_falsy=False)
    stream = io.BytesIO()
    dump(doc, stream, std_types=True)
    assert stream.getvalue() == data
    assert load(io.BytesIO(data), std_types=True) == doc


def test_the_ready_registries_are_not_changed_by_calls():
    before = (dict(ENCODERS), dict(LOADERS))
    dumps({1}, std_types=True, custom_types={set: CustomType("s", sorted)})
    loads(dumps({1}, std_types=True), std_types=True, custom_types={"set": frozenset})
    assert (ENCODERS, LOADERS) == before


ZONES = st.sampled_from([None, UTC, IST, NAMED, ODD, PARIS, zoneinfo.ZoneInfo("America/New_York")])
STD_SCALARS = st.one_of(
    st.datetimes(timezones=ZONES, allow_imaginary=True).flatmap(lambda d: st.sampled_from([d, d.replace(fold=1)])),
    st.dates(), st.times(timezones=st.sampled_from([None, UTC, IST, NAMED])), st.timedeltas(), st.uuids(),
    st.decimals(allow_nan=True), st.complex_numbers(), st.binary(max_size=8).map(bytearray),
    st.frozensets(st.integers() | st.text(max_size=3), max_size=4),
    st.sets(st.integers() | st.tuples(st.integers(), st.text(max_size=2)), max_size=4),
)


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(STD_SCALARS, max_size=6))
def test_round_trip_property(values):
    back = loads(dumps(values, std_types=True), std_types=True)
    assert identical(back, values)
