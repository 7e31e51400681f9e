"""Documents on disk: pyquarl.open maps a file, Document wraps a buffer; both
read values without loading the rest, and a closed one refuses every call."""

import os

import pytest
from conftest import MARKER, SANITIZED, enc_int, inline_key, run_isolated, size

import pyquarl
from pyquarl import DeserializationError, Document, Idx

VALUE = {"users": [{"name": "ada", "tags": ["x"]}, {"name": "lin", "tags": []}], "n": 0}


@pytest.fixture
def stored(tmp_path):
    path = tmp_path / "doc.quarl"
    with open(path, "wb") as file:
        pyquarl.dump(VALUE, file)
    return path


@pytest.fixture(params=["open-path", "open-str", "bytes", "bytearray"])
def document(request, stored):
    kind = request.param
    if kind.startswith("open"):
        return pyquarl.open(stored if kind == "open-path" else str(stored))
    return Document(stored.read_bytes() if kind == "bytes" else bytearray(stored.read_bytes()))


def test_a_document_reads_like_the_functions(document):
    with document as doc:
        assert doc.get("users", Idx(1), "name") == "lin"
        assert doc.contains("n") and not doc.contains("n", include_falsy=False) and not doc.contains("x")
        assert doc.load() == VALUE and doc.load(use_tuples=True)["users"][0]["tags"] == ("x",)
        assert list(doc.iter_items("users", Idx(0))) == [("name", "ada"), ("tags", ["x"])]
        with pytest.raises(DeserializationError, match="^Key not found"):
            doc.get("missing")
        assert not doc.closed
    assert doc.closed


CLOSED_CALLS = {
    "get": lambda doc: doc.get("n"),
    "contains": lambda doc: doc.contains("n"),
    "load": lambda doc: doc.load(),
    "iter_items": lambda doc: doc.iter_items(),
    "with": lambda doc: doc.__enter__(),
}


@pytest.mark.parametrize("call", CLOSED_CALLS)
def test_every_method_of_a_closed_document_raises_value_error(document, call):
    document.close()
    document.close()  # a second close does nothing
    with pytest.raises(ValueError, match="closed document"):
        CLOSED_CALLS[call](document)
    assert "closed" in repr(document)


def test_close_waits_for_a_running_walk(stored):
    doc = pyquarl.open(stored)
    walk = doc.iter_items("users")
    next(walk)
    with pytest.raises(BufferError):
        doc.close()
    assert not doc.closed and len(list(walk)) == 1
    doc.close()
    assert doc.closed


def test_an_empty_file_is_a_document_without_a_marker(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    with pyquarl.open(tmp_path / "empty") as doc:
        assert doc.contains() is False
        with pytest.raises(DeserializationError, match="missing starting marker"):
            doc.get()



BLOB = 1 << 20


def write_big_document(path, blobs):
    """{"pad": [blobs x 1 MB of bytes], "tail": 42}, written a blob at a time."""
    with open(path, "wb") as file:
        file.write(MARKER + b"\x10\x02" + inline_key("pad") + b"\x0d" + size(blobs))
        blob = b"\x0b" + size(BLOB) + b"q" * BLOB
        for _ in range(blobs):
            file.write(blob)
        file.write(inline_key("tail") + enc_int(42))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime maps far more data than any limit here allows")
def test_a_file_twice_the_memory_limit_is_read_through_the_mapping(tmp_path):
    # The limit is on the process's data segment (RLIMIT_DATA): a read-only
    # mapping of a file is not part of it, while every copy of its bytes is.
    path = tmp_path / "big.quarl"
    blobs = 160
    write_big_document(path, blobs)
    out = run_isolated(f"""
import resource, pyquarl

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024

limit = status("VmData") + 40 * 1024 * 1024
assert {os.path.getsize(path)} >= 2 * limit, limit
resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
try:
    open({str(path)!r}, "rb").read()
    print("the limit did not hold")
except MemoryError:
    pass
before = status("RssAnon")
with pyquarl.open({str(path)!r}) as doc:
    for _ in range(3):
        assert doc.get("tail") == 42
        assert doc.contains("pad", pyquarl.Idx({blobs - 1}), include_falsy=False)
    grown = status("RssAnon") - before
assert grown < 4 * 1024 * 1024, grown
walked = sum(len(blob) for blob in pyquarl.iter_items({str(path)!r}, "pad"))
assert walked == {blobs * BLOB}, walked
assert [v for v in pyquarl.iter_documents({str(path)!r}, "tail")] == [42]
print("ok")
""", timeout=300)
    assert out.split() == ["ok"]
