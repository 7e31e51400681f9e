"""Dask Bags over files of quarl documents: read back whole or at a path, in file
order, across partitions and processes; written by partition and read back."""

import os

import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("dask.bag")

import dask.bag  # noqa: E402

import pyquarl  # noqa: E402
from pyquarl import DeserializationError, Idx  # noqa: E402
from pyquarl.dask import read_documents, to_documents  # noqa: E402



def event(i):
    return {"user": {"id": i, "name": f"u{i}"}, "items": [{"sku": i * 10 + k, "n": k} for k in range(3)]}


def write(path, documents):
    with open(path, "wb") as out:
        for document in documents:
            pyquarl.dump(document, out)


@pytest.fixture
def logs(tmp_path):
    """Three files named out of order, with 4, 0 and 1 documents: 5 in all, in sorted-name order."""
    write(tmp_path / "b.quarl", [event(i) for i in range(4)])
    write(tmp_path / "c.quarl", [])
    write(tmp_path / "a0.quarl", [event(99)])
    (tmp_path / "other.txt").write_text("not a document")
    return tmp_path


def compute(bag):
    return bag.compute(scheduler="sync")


EXPECTED_ORDER = [99, 0, 1, 2, 3]


@pytest.mark.parametrize("path, expected", [
    (None, [event(i) for i in EXPECTED_ORDER]),
    (("user", "id"), EXPECTED_ORDER),
    ("user", [event(i)["user"] for i in EXPECTED_ORDER]),
    (["items", Idx(2), "sku"], [i * 10 + 2 for i in EXPECTED_ORDER]),
])
def test_documents_of_every_file_come_in_file_order_whole_or_at_a_path(logs, path, expected):
    bag = read_documents(str(logs / "*.quarl"), path=path)
    assert bag.npartitions == 3
    assert compute(bag) == expected


def test_a_list_of_files_is_read_in_the_order_given(logs):
    bag = read_documents([logs / "b.quarl", logs / "a0.quarl"], path=("user", "id"), files_per_partition=2)
    assert bag.npartitions == 1
    assert compute(bag) == [0, 1, 2, 3, 99]


def test_a_document_without_the_path_fails_unless_a_default_stands_in(logs):
    write(logs / "b.quarl", [event(1), {"user": {}}, event(2)])
    with pytest.raises(DeserializationError):
        compute(read_documents(str(logs / "*.quarl"), path=("user", "id")))
    assert compute(read_documents(str(logs / "*.quarl"), path=("user", "id"), default=-1)) == [99, 1, -1, 2]


def test_load_options_reach_the_decoder(logs):
    write(logs / "t.quarl", [{"pair": (1, 2)}])
    assert compute(read_documents(str(logs / "t.quarl"), use_tuples=True)) == [{"pair": (1, 2)}]


@pytest.mark.parametrize("call, error", [
    (lambda d: read_documents(str(d / "*.none")), FileNotFoundError),
    (lambda d: read_documents(str(d / "missing.quarl")), FileNotFoundError),
    (lambda d: read_documents(str(d / "*.quarl"), files_per_partition=0), ValueError),
    (lambda d: read_documents(str(d / "*.quarl"), default=None), TypeError),
    (lambda d: to_documents(dask.bag.from_sequence([1, 2], npartitions=2), str(d / "out.quarl")), ValueError),
    (lambda d: to_documents(dask.bag.from_sequence([1, 2], npartitions=2), str(d / "*-*.quarl")), ValueError),
    (lambda d: to_documents(dask.bag.from_sequence([1, 2], npartitions=2), [str(d / "one.quarl")]), ValueError),
])
def test_patterns_that_cannot_name_the_files_are_refused(logs, call, error):
    with pytest.raises(error):
        call(logs)


def test_written_partitions_read_back_in_order_past_ten_files(tmp_path):
    items = [{"n": i, "tag": f"t{i % 3}"} for i in range(37)]
    bag = dask.bag.from_sequence(items, partition_size=3)
    names = to_documents(bag, str(tmp_path / "out" / "part-*.quarl"), scheduler="sync")
    assert len(names) == bag.npartitions == 13 and names == sorted(names)
    assert compute(read_documents(str(tmp_path / "out" / "*.quarl"))) == items
    assert compute(read_documents(str(tmp_path / "out" / "*.quarl"), path="n")) == list(range(37))


def test_deferred_writes_happen_when_computed(tmp_path):
    writes = to_documents(dask.bag.from_sequence([[1], [2]], npartitions=2), str(tmp_path / "*.quarl"), compute=False)
    assert os.listdir(tmp_path) == []
    dask.compute(*writes, scheduler="sync")
    assert compute(read_documents(str(tmp_path / "*.quarl"))) == [[1], [2]]


def test_worker_processes_read_and_write_the_files(tmp_path):
    items = [event(i) for i in range(40)]
    in_processes = {"scheduler": "processes", "num_workers": 2}
    to_documents(dask.bag.from_sequence(items, npartitions=4), str(tmp_path / "*.quarl"), **in_processes)
    ids = read_documents(str(tmp_path / "*.quarl"), path=("user", "id")).filter(lambda i: i % 3 == 0)
    assert ids.compute(**in_processes) == list(range(0, 40, 3))
    with pytest.raises(DeserializationError):
        read_documents(str(tmp_path / "*.quarl"), path=("user", "none")).compute(**in_processes)
