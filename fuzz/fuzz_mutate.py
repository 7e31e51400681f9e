"""Fuzz target: the containers being encoded change under the encoder.

The object graph of the round-trip target is extended with hooks: custom
types whose converter, and a streaming writer whose write, edit a container
of the graph chosen by the fuzzer (clear, grow, shrink, replace items, swap
the key set of a dict for another of the same size, drop the last reference
to strings already written).

Invariants: dump_bytes never crashes (ASan/UBSan watch every access); it
either fails with RuntimeError or SerializationError, or returns a document
that both readers accept and agree on; a streamed document that completes is
exactly the concatenation of the write calls; nothing is left pending.
"""

import sys

import atheris

with atheris.instrument_imports():
    import fuzz_common as fc
    from fuzz_roundtrip import DUMP_TYPES, Builder
    from pyquarl import CustomType, SerializationError, dump_bytes, lazy_load_bytes, load_bytes

ACCEPTED = (RuntimeError, SerializationError, RecursionError)


class Hook:
    """Edits a container of the graph when converted."""

    __slots__ = ("editor",)

    def __init__(self, editor):
        self.editor = editor


def containers_of(value, found, seen):
    if id(value) in seen or len(found) > 64:
        return
    seen.add(id(value))
    if type(value) in (list, dict):
        found.append(value)
    if type(value) in (list, tuple):
        for item in value:
            containers_of(item, found, seen)
    elif type(value) is dict:
        for item in list(value.values()):
            containers_of(item, found, seen)


class Editor:
    """Applies the fuzzer's edits, one per call, to containers of the graph."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.targets = []
        self.plan = [(fdp.ConsumeIntInRange(0, 255), fdp.ConsumeIntInRange(0, 9)) for _ in range(8)]
        self.step = 0

    def __call__(self, *_):
        if not self.targets or not self.plan:
            return 0
        which, action = self.plan[self.step % len(self.plan)]
        self.step += 1
        target = self.targets[which % len(self.targets)]
        if type(target) is list:
            if action == 0:
                target.clear()
            elif action == 1:
                target.append("appended %d" % self.step)
            elif action == 2 and target:
                target.pop()
            elif action == 3 and target:
                target[0] = ["replaced", "text %d" % self.step]
            elif action == 4:
                target.insert(0, {"inserted": self.step})
            elif action == 5 and target:
                del target[: len(target) // 2]
            else:
                target.extend([None] * 3)
        else:
            keys = list(target)
            if action == 0:
                target.clear()
            elif action == 1:
                target["added %d" % self.step] = self.step
            elif action == 2 and keys:
                del target[keys[-1]]
            elif action == 3 and keys:
                target[keys[0]] = "new value %d" % self.step
            elif action == 4 and keys:
                # same size, other key set
                del target[keys[0]]
                target["swapped %d" % self.step] = 1
            elif action == 5:
                target[self.step] = [self.step]
            else:
                for key in keys[:2]:
                    target[key] = None
        return "hook %d" % self.step


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    editor = Editor(fdp)
    builder = Builder(fdp)
    hooks = [Hook(editor) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    obj = [builder.value(), *hooks, builder.value()]
    if fdp.ConsumeBool():
        obj = {"first": obj[0], "hooks": obj[1:-1], "last": obj[-1]}
    found = []
    containers_of(obj, found, set())
    editor.targets = found
    custom_types = {**DUMP_TYPES, Hook: CustomType("hook", lambda hook: hook.editor(), one_way=fdp.ConsumeBool())}
    streaming = fdp.ConsumeBool()
    chunks = []

    class Writer:
        def write(self, chunk):
            chunks.append(bytes(chunk))
            if fdp.ConsumeBool():
                editor()

    try:
        if streaming:
            result = dump_bytes(
                obj,
                serialize_dates=True,
                custom_types=custom_types,
                writer=Writer(),
                flush_threshold=fdp.ConsumeIntInRange(0, 16),
                direct_write_threshold=fdp.ConsumeIntInRange(0, 16),
            )
            assert result is None
            document = b"".join(chunks)
        else:
            document = dump_bytes(obj, serialize_dates=True, custom_types=custom_types)
    except ACCEPTED:
        assert sys.exc_info()[0] is not None
        return
    loaders = {"pt": lambda value: ["pt", value], "hook": lambda value: value}
    full = load_bytes(document, custom_types=loaders)
    whole = lazy_load_bytes(document, [], custom_types=loaders)
    assert fc.same_value(full, whole), "the readers disagree on a document written under mutation"
    assert sys.exc_info() == (None, None, None)


if __name__ == "__main__":
    fc.run(__file__, TestOneInput)
