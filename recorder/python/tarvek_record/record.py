"""The recording loop: samples from the native readers into an MCAP file, one channel per
topic, the received bytes unchanged, receive time as log time, source time as publish time."""

from __future__ import annotations

import signal
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Callable, TextIO

from mcap.writer import CompressionType, Writer

from tarvek_record._tarvek_record import Recorder
from tarvek_record.schemas import SCHEMAS

# A chunk is closed and written out at this size or after FLUSH_INTERVAL_S, whichever comes
# first, so a recorder killed outright loses at most the last second (or last chunk) of data;
# everything before it is in complete chunks on disk.
CHUNK_BYTES = 1 << 20
FLUSH_INTERVAL_S = 1.0
# How long one wait for samples may last: also how soon a stop request is noticed.
POLL_S = 0.1


class RunWriter:
    """An MCAP file with a channel per recorded topic, written in chunks flushed to disk."""

    def __init__(self, path: Path, channels: list[tuple[str, str, bool]], library: str):
        self._file = open(path, "wb")
        self._writer = Writer(self._file, chunk_size=CHUNK_BYTES, compression=CompressionType.ZSTD)
        self._writer.start(profile="ros2", library=library)
        self._channel_ids: list[int] = []
        for topic, dds_type, service in channels:
            schema_name, text = SCHEMAS[topic]
            schema_id = self._writer.register_schema(schema_name, "ros2msg", text.encode())
            self._channel_ids.append(self._writer.register_channel(
                topic, "cdr", schema_id, {"dds_type": dds_type, "ros_domain": str(service).lower()}))
        self._sequence = [0] * len(channels)
        self._unflushed = 0
        self._last_flush = time.monotonic()
        # The header and the channel definitions are on disk before any message.
        self._file.flush()

    def add(self, channel: int, receive_time: int, source_time: int, data: bytes) -> None:
        self._sequence[channel] += 1
        self._writer.add_message(self._channel_ids[channel], log_time=receive_time, data=data,
                                 publish_time=source_time, sequence=self._sequence[channel])
        self._unflushed += 1

    def flush_if_due(self) -> None:
        if self._unflushed and time.monotonic() - self._last_flush >= FLUSH_INTERVAL_S:
            self.flush()

    def flush(self) -> None:
        # Closes the chunk in progress and hands the file everything written so far.
        self._writer.flush()
        self._unflushed = 0
        self._last_flush = time.monotonic()

    def close(self) -> None:
        self._writer.finish()
        self._file.close()


def record(domain: int, ros_domain: int | None, path: Path, duration: float | None,
           log: TextIO = sys.stderr, library: str = "tarvek-record") -> Counter:
    """Records until SIGINT or SIGTERM or the end of `duration`; returns counts per topic."""
    stop = False

    def request_stop(signum, frame):
        nonlocal stop
        stop = True

    previous = {s: signal.signal(s, request_stop) for s in (signal.SIGINT, signal.SIGTERM)}
    counts: Counter = Counter()
    try:
        recorder = Recorder(domain, ros_domain)
        channels = recorder.channels
        out = RunWriter(path, channels, library)

        def write(batch) -> None:
            for channel, receive_time, source_time, data in batch:
                out.add(channel, receive_time, source_time, data)
                counts[channels[channel][0]] += 1

        try:
            print(f"recording DDS domain {domain}"
                  + (f" and ROS 2 domain {ros_domain}" if ros_domain is not None else "")
                  + f" to {path}", file=log, flush=True)
            matched = [0] * len(channels)
            end = None if duration is None else time.monotonic() + duration
            while not stop and (end is None or time.monotonic() < end):
                timeout = POLL_S if end is None else max(0.0, min(POLL_S, end - time.monotonic()))
                write(recorder.drain(timeout))
                out.flush_if_due()
                report_matches(recorder, channels, matched, log)
            # Delete the readers, then write what they had delivered up to then.
            recorder.close()
            write(recorder.drain(0))
        finally:
            out.close()
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
    print("recorded " + (", ".join(f"{t} {n}" for t, n in sorted(counts.items())) or "nothing"),
          file=log, flush=True)
    return counts


def report_matches(recorder: Recorder, channels, matched: list[int], log: TextIO) -> None:
    for i, (topic, _, _) in enumerate(channels):
        n = recorder.matched_writers(i)
        if n != matched[i]:
            matched[i] = n
            print(f"{topic}: {n} writer{'s' if n != 1 else ''}", file=log, flush=True)
