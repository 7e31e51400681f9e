"""A Document's position index: every lookup through a handle answers exactly
what a fresh lookup on the bytes answers (values, error class, message and
position), whatever was looked up before, in whatever order, and whatever
the index's cap; navigation views and get_many read the same values."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import EDITS, PLAIN_VALUES, TEXTS, damaged, misses, paths, same_value
from pyquarl import (DeserializationError, Document, Idx, View, bytes_check_if_contains, dumps, get_many,
                     lazy_load_bytes)

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
BIG_CAP = 1 << 30
CAPS = [0, 40, 300, 2000, BIG_CAP]  # none, a few entries, part of a document, all of it


def outcome(call):
    """What a call gives: ("value", v), or the error's class, text and position."""
    try:
        return ("value", call())
    except Exception as error:  # noqa: BLE001 - every failure is compared
        return (type(error), str(error), getattr(error, "pos", None))


def same_outcome(expected, actual):
    if expected[0] == "value" and actual[0] == "value":
        return same_value(expected[1], actual[1], ordered=True)
    return expected == actual


# The three questions a lookup can ask, through a handle and on the bytes.
QUESTIONS = {
    "get": (lambda doc, path: doc.get(*path), lambda data, path: lazy_load_bytes(data, path)),
    "contains": (lambda doc, path: doc.contains(*path), lambda data, path: bytes_check_if_contains(data, path)),
    "truthy": (lambda doc, path: doc.contains(*path, include_falsy=False),
               lambda data, path: bytes_check_if_contains(data, path, include_falsy=False)),
}


def check_lookup(doc, data, path, question):
    through_handle, on_bytes = QUESTIONS[question]
    expected = outcome(lambda: on_bytes(data, list(path)))
    actual = outcome(lambda: through_handle(doc, path))
    assert same_outcome(expected, actual), (path, question, expected, actual)


def records(children):
    """Long lists and wide dicts, where the index has something to remember:
    like dicts (rows), unlike ones, plain items, strings that repeat (back-references)."""
    names = st.sampled_from(["id", "name", "tag", "x"])
    row = st.fixed_dictionaries({"id": st.integers(-3, 300), "name": TEXTS, "tag": st.sampled_from(["a", "b", "é"])})
    return st.one_of(
        st.lists(row, min_size=60, max_size=200),
        st.lists(st.one_of(row, st.dictionaries(names, children, max_size=3)), min_size=60, max_size=200),
        st.lists(st.one_of(TEXTS, children), min_size=60, max_size=200),
        st.dictionaries(st.one_of(TEXTS, st.sampled_from([f"k{i}" for i in range(150)])), children, max_size=150),
        st.dictionaries(st.one_of(st.integers(), TEXTS), children, max_size=20),
    )


DOCUMENTS = st.one_of(
    PLAIN_VALUES,
    st.dictionaries(st.sampled_from(["rows", "texts", "big", "z"]), records(PLAIN_VALUES), min_size=1, max_size=4),
    records(st.one_of(TEXTS, st.integers())),
)


def lookups_of(value):
    every = list(paths(value))
    found = [path for path, _ in every]
    missed = [miss for path, inner in every[:50] for miss in misses(inner, path)]
    return found + missed


@SETTINGS
@given(DOCUMENTS, st.sampled_from(CAPS), st.randoms(use_true_random=False), st.data())
def test_lookups_in_any_order_agree_with_fresh_lookups(value, cap, rng, draw):
    data = dumps(value)
    lookups = lookups_of(value)
    rng.shuffle(lookups)
    with Document(data, index_cap=cap) as doc:
        for path in lookups[:120]:
            check_lookup(doc, data, path, draw.draw(st.sampled_from(sorted(QUESTIONS))))
        assert doc.index_size <= cap


@SETTINGS
@given(DOCUMENTS, EDITS, st.randoms(use_true_random=False))
def test_a_damaged_document_fails_through_the_handle_as_on_the_bytes(value, edits, rng):
    data = damaged(dumps(value), edits)
    lookups = lookups_of(value)
    rng.shuffle(lookups)
    with Document(data, index_cap=BIG_CAP) as doc:
        for number, path in enumerate(lookups[:80]):
            check_lookup(doc, data, path, "get" if number % 3 else "truthy")


def rows_with_repeats(count):
    tags = [f"tag-{i}" for i in range(7)]
    return [{"name": f"n{i}", "tag": tags[i % 7], "mixed": [tags[(i * 3) % 7], i] if i % 5 else None}
            for i in range(count)]


@pytest.mark.parametrize("unlike", [False, True], ids=["like-rows", "unlike-items"])
@pytest.mark.parametrize("cap", CAPS)
def test_back_references_resolve_after_a_jump_into_the_middle_of_a_list(unlike, cap):
    rows = rows_with_repeats(1000)
    if unlike:
        rows[3] = {"other": "tag-1"}  # the list is no longer one of like dicts
    data = dumps({"head": "tag-6", "rows": rows})
    order = [900, 10, 640, 641, 63, 64, 65, 999, 0, 500] + random.Random(7).sample(range(1000), 50)
    with Document(data, index_cap=cap) as doc:
        for i in order:
            for key in ("tag", "mixed", "name"):
                path = ["rows", Idx(i), key]
                assert same_outcome(outcome(lambda: lazy_load_bytes(data, path)), outcome(lambda: doc.get(*path)))
            assert same_value(doc.get("rows", Idx(i)), lazy_load_bytes(data, ["rows", Idx(i)]), ordered=True)
        grew = doc.index_size
    assert grew <= cap and (grew > 0 or cap < 300)


def test_the_index_stops_at_its_cap_and_grows_again_when_raised():
    data = dumps({"rows": rows_with_repeats(5000), "big": {f"key {i}": i for i in range(3000)},
                  "more": [[i] for i in range(1000)]})
    with Document(data, index_cap=5000) as doc:
        assert doc.get("rows", Idx(4999), "name") == "n4999"
        assert doc.get("big", "key 2999") == 2999
        assert doc.get("big", "key 2998") == 2998  # the second search learns the keys
        full = doc.index_size
        assert 0 < full <= 5000
        assert doc.get("rows", Idx(4000), "tag") == "tag-3"
        assert doc.index_size == full  # nothing more fits: lookups still answer
        assert doc.get("more", Idx(900)) == [900]
        assert doc.index_size == full
        doc.index_cap = 10**7
        assert doc.get("more", Idx(990), Idx(0)) == 990
        assert doc.index_size > full


def test_default_cap_is_a_hundredth_of_the_document_and_at_most_64_mib():
    data = dumps(list(range(50000)))
    assert Document(data).index_cap == len(data) // 100
    assert Document(bytearray(200 * 1024 * 1024)[:0] + data).index_cap == len(data) // 100
    from pyquarl.document import default_index_cap
    assert default_index_cap(10**12) == 64 * 1024 * 1024
    with pytest.raises(ValueError):
        Document(data, index_cap=-1)
    with pytest.raises(TypeError):
        Document(data, index_cap=True)


DOC = {"users": [{"name": f"u{i}", "email": f"u{i}@x", "tags": ["a", f"t{i}"]} for i in range(200)],
       "meta": {"count": 200, "empty": [], "flags": [True, False, True], "nothing": {}},
       "ints": list(range(100)), "title": "users"}


def test_navigation_reads_like_dicts_and_lists():
    with Document(dumps(DOC), index_cap=BIG_CAP) as doc:
        users = doc["users"]
        assert isinstance(users, View) and users.kind == "list" and len(users) == 200
        assert users[1875 % 200]["email"] == "u75@x" and users[-1]["name"] == "u199"
        assert users[Idx(3)]["tags"][1] == "t3"
        assert doc["meta"]["flags"][2] is True and doc["title"] == "users"
        assert len(doc) == 4 and doc.keys() == list(DOC) and list(doc) == list(DOC)
        assert "meta" in doc and "nope" not in doc and "count" in doc["meta"]
        assert [len(doc["meta"][k]) for k in ("empty", "flags", "nothing")] == [0, 3, 0]
        assert list(doc["ints"])[:5] == [0, 1, 2, 3, 4] and 99 in doc["ints"] and 100 not in doc["ints"]
        row = dict(users[7].items())
        assert row["tags"].load() == ["a", "t7"] and row["email"] == "u7@x"
        assert users[7].keys() == ["name", "email", "tags"]
        assert users[7].load() == DOC["users"][7] and doc["meta"].get("count") == 200
        with pytest.raises(IndexError):
            users[-201]
        with pytest.raises(TypeError):
            users["name"]
        for path in (["users", Idx(200)], ["meta", "missing"], ["users", Idx(3), Idx(0)]):
            expected = outcome(lambda: lazy_load_bytes(dumps(DOC), path))
            assert outcome(lambda: walk(doc, path)) == expected


def walk(node, path):
    for step in path:
        node = node[step]
    return node


def test_views_stay_valid_after_other_lookups_and_fail_once_closed():
    doc = Document(dumps(DOC), index_cap=BIG_CAP)
    late, early = doc["users"][150], doc["users"][2]
    for i in range(0, 200, 7):
        doc.get("users", Idx(i), "tags", Idx(1))
    assert late["name"] == "u150" and early["tags"].load() == ["a", "t2"]
    doc.close()
    with pytest.raises(ValueError):
        late["name"]


def test_get_many_reads_a_file_and_takes_custom_types(tmp_path):
    target = tmp_path / "doc.quarl"
    target.write_bytes(dumps(DOC))
    assert get_many(target, [["title"], ["users", Idx(1), "name"]]) == ["users", "u1"]
    assert get_many(str(target), [["meta", "count"]], std_types=True) == [200]


def test_a_key_whose_comparison_looks_up_again_gets_the_same_answers():
    data = dumps({"a": {"x": 1}, "rows": rows_with_repeats(300)})
    doc = Document(data, index_cap=BIG_CAP)

    class Nosy:
        def __eq__(self, other):
            assert doc.get("rows", Idx(250), "tag") == "tag-5"
            return other == "x"

        __hash__ = object.__hash__

    assert doc.get("a", Nosy()) == 1
    assert doc.get("rows", Idx(299), "name") == "n299"


@pytest.mark.parametrize("cut", [30, 120, 260, 700])
@pytest.mark.parametrize("order", ["ascending", "descending"])
def test_a_cut_document_fails_as_on_the_bytes_whatever_was_read_before(cut, order):
    whole = dumps({"items": list(range(300)), "rows": rows_with_repeats(60), "tail": "end"})
    data = whole[:cut]
    indexes = sorted(range(0, 300, 7), reverse=order == "descending")
    with Document(data, index_cap=BIG_CAP) as doc:
        for i in indexes:
            check_lookup(doc, data, ["items", Idx(i)], "get")
            check_lookup(doc, data, ["rows", Idx(i % 60), "tag"], "get")
        check_lookup(doc, data, ["tail"], "get")


@pytest.mark.parametrize("cap", [2000, 20000, BIG_CAP])
def test_strings_the_index_did_not_keep_resolve_and_are_kept_once_asked_for(cap):
    names = [f"name {i}" for i in range(1000)]
    data = dumps({"rows": [{"name": name, "n": i} for i, name in enumerate(names)],
                  "again": [names[i] for i in range(0, 1000, 37)], "keyed": {names[i]: i for i in range(0, 1000, 91)}})
    with Document(data, index_cap=cap) as doc:
        assert doc.get("rows", Idx(999), "name") == "name 999"
        for _ in range(2):  # the second round reads the strings kept by the first
            for i, number in enumerate(range(0, 1000, 37)):
                assert doc.get("again", Idx(i)) == names[number]
            for number in range(0, 1000, 91):
                assert doc.get("keyed", names[number]) == number
                assert doc.contains("keyed", names[number] + "?") is False
        assert doc.index_size <= cap


# ---- dict keys learnt as fingerprints -------------------------------------

def fingerprinted(data, cap, bits):
    """A handle whose index keeps dict keys' fingerprints to `bits` bits: at 0
    every learnt key shares one, so every lookup compares real keys throughout."""
    doc = Document(data, index_cap=cap)
    doc._fingerprint_bits = bits
    return doc


KEYED = st.dictionaries(
    st.one_of(TEXTS, st.sampled_from([f"k{i}" for i in range(300)]), st.sampled_from(["", "é", "k"])),
    st.one_of(TEXTS, st.integers(), st.lists(TEXTS, max_size=3)), min_size=1, max_size=300)


@SETTINGS
@given(st.one_of(KEYED, st.dictionaries(st.sampled_from(["a", "b"]), KEYED, min_size=1), st.lists(KEYED, max_size=3)),
       st.sampled_from([0, 1, 5, 12]), st.sampled_from([None, *CAPS]), st.randoms(use_true_random=False))
def test_dict_lookups_agree_whatever_the_fingerprints_share(value, bits, cap, rng):
    data = dumps(value)
    lookups = lookups_of(value) + [[*path, f"{key}?"] for path, inner in paths(value) if type(inner) is dict
                                   for key in list(inner)[:3] if isinstance(key, str)]
    rng.shuffle(lookups)
    with fingerprinted(data, cap, bits) as doc:
        for number, path in enumerate(lookups[:150]):
            check_lookup(doc, data, path, ("get", "contains", "truthy")[number % 3])


def str_keyed_dict(entries):
    """A str-keyed dict written entry by entry, so the same key may stand twice."""
    from conftest import doc as document, enc_int, inline_key, size
    return document(b"\x10", size(len(entries)), *[inline_key(key) + enc_int(value) for key, value in entries])


def test_a_learnt_dict_key_costs_a_few_bytes_of_index():
    count = 40_000
    data = dumps({f"record {i}": i for i in range(count)})
    with Document(data, index_cap=200_000) as doc:
        assert doc.get("record 5000") == 5000  # by now the string table has all of its share
        before = doc.index_size
        assert doc.get(f"record {count - 1}") == count - 1
        per_key = (doc.index_size - before) / (count - 5000)
        assert 1.5 <= per_key <= 3, per_key
        assert doc.get("record 17") == 17 and doc.contains("record 17?") is False


# ---- get_many -------------------------------------------------------------

def per_path(data, asked, default):
    """What get_many answers, from one fresh lookup per path."""
    values = []
    for path in asked:
        try:
            values.append(lazy_load_bytes(data, list(path)))
        except DeserializationError as error:
            if default == "raise":
                return outcome(lambda: (_ for _ in ()).throw(error))
            values.append(default)
    return ("value", values)


@SETTINGS
@given(DOCUMENTS, st.data(), st.sampled_from(["raise", None, "-"]), st.sampled_from([0, 12]))
def test_get_many_answers_as_one_lookup_per_path(value, draw, default, bits):
    data = dumps(value)
    pool = lookups_of(value)
    picks = draw.draw(st.lists(st.integers(0, len(pool) - 1), max_size=40))
    asked = [pool[i] for i in picks]
    asked += [path[:cut] for path in asked[:5] for cut in range(len(path))]  # prefixes of other paths
    asked = draw.draw(st.permutations(asked))
    expected = per_path(data, asked, default)
    options = {} if default == "raise" else {"default": default}
    assert same_outcome(expected, outcome(lambda: get_many(data, asked, **options)))
    with fingerprinted(data, draw.draw(st.sampled_from([None, *CAPS])), bits) as doc:
        if asked:
            outcome(lambda: doc.get(*asked[-1]))  # a handle that learnt something first
        assert same_outcome(expected, outcome(lambda: doc.get_many(asked, **options)))


# ---- custom types through the index ---------------------------------------

class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def test_custom_and_std_types_read_through_the_handle_as_on_the_bytes():
    import datetime
    import decimal
    from pyquarl import CustomType, contains, get
    when = datetime.date(2024, 1, 2)
    value = {"rows": [{"at": when, "p": Point(i, -i), "n": decimal.Decimal(i)} for i in range(300)],
             "keyed": {f"k{i}": Point(i, i) for i in range(200)}, "plain": list(range(100))}
    data = dumps(value, std_types=True, custom_types={Point: CustomType("point", lambda p: [p.x, p.y])})
    loaders = {"point": lambda xy: tuple(xy)}
    failing = {"point": lambda xy: 1 / 0}
    asked = [("rows", Idx(250), "p"), ("rows", Idx(7), "at"), ("keyed", "k150"), ("keyed", "k3"), ("plain", Idx(99)),
             ("rows", Idx(299), "n"), ("rows", Idx(300)), ("keyed", "k999"), ("rows", Idx(5))]
    options = [{}, {"std_types": True}, {"custom_types": loaders}, {"custom_types": loaders, "std_types": True},
               {"custom_types": failing}, {"custom_types": {"point": 3}}]
    with Document(data, index_cap=BIG_CAP) as doc, Document(data, index_cap=300) as small:
        for handle in (doc, small):
            for number, path in enumerate(asked * 2):
                chosen = options[number % len(options)]
                expected = outcome(lambda: get(data, *path, **chosen))
                assert same_outcome(expected, outcome(lambda: handle.get(*path, **chosen))), (path, chosen)
                expected = outcome(lambda: contains(data, *path, include_falsy=False, **chosen))
                assert expected == outcome(lambda: handle.contains(*path, include_falsy=False, **chosen)), path
        assert outcome(lambda: doc.get("plain", bogus=1)) == outcome(lambda: get(data, "plain", bogus=1))


def test_a_loader_that_reads_the_same_document_again_gets_the_same_answers():
    from pyquarl import CustomType
    data = dumps({"head": Point(1, 2), "rows": [{"p": Point(i, i)} for i in range(200)]},
                 custom_types={Point: CustomType("point", lambda p: [p.x, p.y])})
    doc = Document(data, index_cap=BIG_CAP)
    seen = []

    def nosy(xy):
        seen.append(doc.get("rows", Idx(150), "p", custom_types={"point": list}))
        return tuple(xy)

    assert doc.get("rows", Idx(120), "p", custom_types={"point": nosy}) == (120, 120)
    assert seen == [[150, 150]] and doc.get("head", custom_types={"point": tuple}) == (1, 2)
    doc.close()


@pytest.mark.parametrize("bits, cap", [(0, BIG_CAP), (12, BIG_CAP), (12, 300)])
@pytest.mark.parametrize("read_before", [[], ["key 150"], ["key 150", "key 390"], ["key 5", "key 5", "absent"]],
                         ids=["fresh", "searched-once", "learnt-in-part", "learnt-whole"])
def test_get_many_finds_the_first_entry_of_a_repeated_key_whatever_was_learnt_before(bits, cap, read_before):
    keys = [f"key {i}" for i in range(400)]
    entries = [(key, i) for i, key in enumerate(keys)]
    entries[300:300] = [(keys[10], 1000), (keys[399], 1001), ("late", 1002), ("late", 1003)]
    whole = b"<o>\x10\x01\x02\xfed" + str_keyed_dict(entries)[3:]  # {"d": those entries}
    asked = [("d", key) for key in ("late", keys[399], keys[10], "key 1", "absent", keys[10], keys[250], "late")]
    expected = per_path(whole, asked, None)
    with fingerprinted(whole, cap, bits) as doc:
        for key in read_before:
            check_lookup(doc, whole, ["d", key], "get")
        assert same_outcome(expected, outcome(lambda: doc.get_many(asked, default=None)))
        for path in asked:  # and the plain lookups after it
            check_lookup(doc, whole, list(path), "get")
