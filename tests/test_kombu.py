"""quarl as a Kombu serializer: messages of every supported type through Kombu's
in-memory transport, and a Celery app whose tasks and results travel as quarl,
run by a real worker."""

import datetime
import math

import pytest

kombu = pytest.importorskip("kombu")
celery = pytest.importorskip("celery")

from celery.contrib.testing.worker import start_worker  # noqa: E402
from kombu import Connection, Exchange, Queue  # noqa: E402
from kombu.exceptions import EncodeError  # noqa: E402
from kombu.serialization import dumps as kombu_dumps, loads as kombu_loads  # noqa: E402

import pyquarl.kombu  # noqa: E402

from conftest import as_read, same_value  # noqa: E402

MESSAGES = {
    "none": None,
    "bools": [True, False],
    "ints": [0, 224, 225, -1, 2**63, -(2**64), 2**300],
    "floats": [1.5, -0.0, math.inf, -math.inf],
    "texts": ["", "ascii", "é日本\U0001f600", "x" * 70_000],
    "bytes": [b"", bytes(range(256))],
    "non-str keys": {1: "a", None: 2, b"k": [3], 2.5: {}, True: "t"},
    "like dicts": [{"id": i, "name": f"n{i}"} for i in range(30)],
    "nested": {"a": [[{"b": [None, {"c": []}]}]]},
    "tuple": (1, (2, "x")),
}


@pytest.fixture(scope="module", autouse=True)
def registered():
    pyquarl.kombu.register()


def exchange_messages(bodies, accept=("quarl",)):
    received = []
    with Connection("memory://") as connection:
        queue = Queue("quarl-test", Exchange("quarl-test"), "quarl-test")
        producer = connection.Producer(serializer="quarl")
        for body in bodies:
            producer.publish(body, exchange=queue.exchange, routing_key="quarl-test", declare=[queue])

        def on_message(body, message):
            received.append((body, message.content_type, message.content_encoding))
            message.ack()

        with connection.Consumer(queue, accept=list(accept), callbacks=[on_message]):
            while len(received) < len(bodies):
                connection.drain_events(timeout=5)
    return received


def test_every_supported_type_travels_through_a_queue_and_kombus_own_functions():
    received = exchange_messages(list(MESSAGES.values()))
    for (name, sent), (body, content_type, encoding) in zip(MESSAGES.items(), received):
        assert same_value(as_read(sent), body, ordered=True), name
        assert (content_type, encoding) == ("application/x-quarl", "binary")
        content_type, encoding, body = kombu_dumps(sent, serializer="quarl")
        # a transport may hand the body over as text: Kombu's own binary convention
        for given in (body, body.decode()) if body.isascii() else (body,):
            assert same_value(as_read(sent), kombu_loads(given, content_type, encoding, accept=[content_type])), name


@pytest.mark.parametrize("value", [{1, 2}, {"when": datetime.date(2024, 1, 1)}, object()])
def test_a_value_quarl_cannot_encode_is_refused_before_anything_is_sent(value):
    with pytest.raises(EncodeError):
        kombu_dumps(value, serializer="quarl")


# ---- Celery, with a worker running the tasks ---------------------------------------------------


@pytest.fixture(scope="module")
def app():
    app = celery.Celery("quarl-tests", broker="memory://", backend="cache+memory://")
    app.conf.update(task_serializer="quarl", result_serializer="quarl", accept_content=["quarl"],
                    result_accept_content=["quarl"], broker_connection_retry_on_startup=False)

    @app.task(name="quarl.describe")
    def describe(value, *, key):
        return {key: value, "kinds": sorted({type(item).__name__ for item in value}), 2**70: b"\x00raw"}

    @app.task(name="quarl.fail")
    def fail(message):
        raise ValueError(message)

    with start_worker(app, pool="solo", perform_ping_check=False, shutdown_timeout=20):
        yield app


def test_celery_tasks_take_and_return_what_json_cannot_carry(app):
    value = [b"\xff\x00", 2**100, {1: None}, "é"]
    result = app.tasks["quarl.describe"].delay(value, key=b"bytes key").get(timeout=30)
    assert same_value({b"bytes key": value, "kinds": ["bytes", "dict", "int", "str"], 2**70: b"\x00raw"},
                      result, ordered=True)


def test_a_failing_task_raises_its_error_at_the_caller(app):
    with pytest.raises(ValueError, match="no such record"):
        app.tasks["quarl.fail"].delay("no such record").get(timeout=30)
