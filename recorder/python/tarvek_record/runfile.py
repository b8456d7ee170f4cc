"""Reading a recorded run back: the messages of every channel, decoded into dicts, from a
complete file or from the complete part of one whose recorder was killed."""

from __future__ import annotations

import functools
import re
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from mcap.exceptions import McapError
from mcap.reader import make_reader
from mcap.stream_reader import StreamReader
from mcap.records import Channel, Message, Schema


@dataclass
class Record:
    topic: str
    log_time: int      # ns since the epoch: when the recorder received it
    publish_time: int  # ns since the epoch: the writer's source time stamp
    data: bytes


@dataclass
class Run:
    records: list[Record]
    schemas: dict[str, str]  # topic -> ros2msg text
    complete: bool           # False when the file ends early (recorder killed)

    def topic(self, name: str) -> list[Record]:
        return [r for r in self.records if r.topic == name]


def load(path: str | Path) -> Run:
    with open(path, "rb") as f:
        try:
            reader = make_reader(f)
            channels = reader.get_summary().channels if reader.get_summary() else None
            if channels is not None:
                return _from_indexed(reader)
        except (McapError, struct.error, EOFError, ValueError):
            pass
    return _from_stream(path)


def _from_indexed(reader) -> Run:
    summary = reader.get_summary()
    schemas = {c.topic: summary.schemas[c.schema_id].data.decode() for c in summary.channels.values()}
    records = [Record(ch.topic, m.log_time, m.publish_time, m.data)
               for _, ch, m in reader.iter_messages(log_time_order=True)]
    return Run(records, schemas, True)


def _from_stream(path: str | Path) -> Run:
    """Reads records in file order up to the first incomplete one."""
    schemas: dict[int, Schema] = {}
    channels: dict[int, Channel] = {}
    records: list[Record] = []
    complete = False
    with open(path, "rb") as f:
        try:
            for rec in StreamReader(f, skip_magic=False, emit_chunks=False).records:
                if isinstance(rec, Schema):
                    schemas[rec.id] = rec
                elif isinstance(rec, Channel):
                    channels[rec.id] = rec
                elif isinstance(rec, Message):
                    ch = channels[rec.channel_id]
                    records.append(Record(ch.topic, rec.log_time, rec.publish_time, rec.data))
            complete = True
        except (McapError, struct.error, EOFError, ValueError, KeyError):
            pass
    records.sort(key=lambda r: r.log_time)
    by_topic = {c.topic: schemas[c.schema_id].data.decode() for c in channels.values()
                if c.schema_id in schemas}
    return Run(records, by_topic, complete)


# -- CDR bodies of the ros2msg subset the recorded types use ---------------------------------

_PRIMITIVES = {"bool": "?", "int8": "b", "uint8": "B", "int32": "i", "uint32": "I",
               "int64": "q", "uint64": "Q", "float32": "f", "float64": "d"}
_FIELD = re.compile(r"^(\w+)(\[(\d*)\])?\s+(\w+)$")


@functools.lru_cache(maxsize=64)
def _fields(schema: str) -> tuple[tuple[str, str, int | None], ...]:
    """(type, name, length): length None for a scalar, -1 for a sequence. Cached: a live
    view decodes every sample with one of a handful of definitions."""
    out = []
    for line in schema.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        m = _FIELD.match(line)
        if m is None:
            raise ValueError(f"unsupported field: {line}")
        length = None if m.group(2) is None else (int(m.group(3)) if m.group(3) else -1)
        out.append((m.group(1), m.group(4), length))
    return tuple(out)


def decode(schema: str, data: bytes) -> dict:
    """Decodes one sample (encapsulation header and body) by its ros2msg definition."""
    order = "<" if data[1] & 1 else ">"
    pos = 4

    def take(fmt: str, count: int = 1):
        nonlocal pos
        size = struct.calcsize(fmt)
        pos += -(pos - 4) % size  # aligned from the start of the body
        values = struct.unpack_from(f"{order}{count}{fmt}", data, pos)
        pos += size * count
        return values

    out: dict = {}
    for type_name, name, length in _fields(schema):
        if type_name == "string":
            (n,) = take("I")
            out[name] = data[pos:pos + n - 1].decode(errors="replace")
            pos += n
            continue
        fmt = _PRIMITIVES[type_name]
        if length is None:
            out[name] = take(fmt)[0]
        else:
            count = take("I")[0] if length == -1 else length
            out[name] = list(take(fmt, count)) if count else []
    return out


def decoded(run: Run, topic: str) -> Iterator[tuple[Record, dict]]:
    schema = run.schemas[topic]
    for r in run.topic(topic):
        yield r, decode(schema, r.data)
