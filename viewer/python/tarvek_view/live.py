"""The live view: the recorder's passive readers feed a Rerun recording stream.

Every sample the readers deliver goes to the MCAP file when one is asked for; the display
shows the newest state once per frame, so a viewer that falls behind loses frames, never
samples, and the work per frame is bounded whatever the robot's rate."""

from __future__ import annotations

import math
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

from tarvek_record._tarvek_record import Recorder
from tarvek_record.plot import JOINTS, tilt_deg
from tarvek_record.record import RunWriter, report_matches
from tarvek_record.runfile import decode
from tarvek_record.schemas import SCHEMAS
from tarvek_view import model

APP_ID = "tarvek-view"
LEGS, WHEELS = JOINTS[:2], JOINTS[2:]


@dataclass
class State:
    """What one frame shows: the newest of each stream, and what happened since the last."""
    obs: dict | None = None
    obs_time: int = 0
    action: dict | None = None
    command: list[float] | None = None
    events: list[tuple[int, str, str]] = field(default_factory=list)  # time, level, text
    round_trips_ms: list[float] = field(default_factory=list)
    pending_request: tuple[int, int] | None = None                    # log, publish time
    frames: int = 0
    dropped: int = 0


def _fmt(values) -> str:
    return ", ".join(f"{v:g}" for v in values)


class Display:
    """Logs the state to a Rerun recording stream: plots, events and the robot in 3D."""

    def __init__(self, rr, links: list[model.Link]):
        self.rr = rr
        self.links = links
        self._log_static()

    def _log_static(self) -> None:
        rr = self.rr
        for name, labels in (
                ("joints/leg_position", [f"{j} position" for j in LEGS] + [f"{j} target" for j in LEGS]),
                ("joints/wheel_position", [f"{j} position" for j in WHEELS] + [f"{j} target" for j in WHEELS]),
                ("joints/velocity", list(JOINTS)), ("joints/torque", list(JOINTS)),
                ("body/tilt_deg", ["roll", "pitch", "tilt"]),
                ("gamepad/command", [f"axis {i}" for i in range(8)]),
                ("link/get_obs_round_trip_ms", ["median", "max"])):
            rr.log(name, rr.SeriesLines(names=labels), static=True)
        rr.log("robot", rr.ViewCoordinates.RIGHT_HAND_Z_UP, static=True)
        rr.log("robot/ground", rr.Boxes3D(half_sizes=[[0.5, 0.5, 0.002]], centers=[[0, 0, -0.002]],
                                          colors=[[120, 130, 110]], fill_mode="solid"), static=True)
        for link in self.links:
            for i, s in enumerate(link.shapes):
                path = f"robot/{link.path}/shape{i}"
                color = [int(255 * c) for c in s.rgba]
                quat = rr.Quaternion(xyzw=list(s.rotation))
                if s.kind == "box":
                    rr.log(path, rr.Boxes3D(half_sizes=[list(s.size)], centers=[list(s.center)],
                                            quaternions=[quat], colors=[color], fill_mode="solid"),
                           static=True)
                elif s.kind == "capsule":
                    # A capsule starts at its translation and runs along its +z.
                    start = [c - h for c, h in zip(s.center, model.rotate(s.rotation, (0, 0, s.size[1] / 2)))]
                    rr.log(path, rr.Capsules3D(lengths=[s.size[1]], radii=[s.size[0]], translations=[start],
                                               quaternions=[quat], colors=[color]), static=True)
                else:
                    rr.log(path, rr.Cylinders3D(lengths=[s.size[1]], radii=[s.size[0]], centers=[list(s.center)],
                                                quaternions=[quat], colors=[color], fill_mode="solid"),
                           static=True)

        # Standing, until the first observation says otherwise.
        rr.set_time("time", timestamp=time.time())
        self._pose([0.0] * 4, [0.0, 0.0, -1.0])

    def _pose(self, dof_pos: list[float], proj_grav: list[float]) -> None:
        rr = self.rr
        for path, (translation, q) in model.poses(self.links, dof_pos, proj_grav).items():
            rr.log(f"robot/{path}", rr.Transform3D(translation=list(translation), quaternion=rr.Quaternion(xyzw=list(q))))

    def show(self, state: State, now_ns: int) -> None:
        rr = self.rr
        rr.set_time("time", timestamp=now_ns * 1e-9)
        for t, level, text in state.events:
            rr.set_time("time", timestamp=t * 1e-9)
            rr.log("events", rr.TextLog(text, level=level))
        state.events.clear()
        rr.set_time("time", timestamp=(state.obs_time or now_ns) * 1e-9)
        obs = state.obs
        if obs is not None:
            pos, vel, tau = obs["dof_pos"], obs["dof_vel"], obs["dof_tau"]
            targets = (state.action["value"] if state.action and not state.action["torque_control"]
                       else [math.nan] * 4)
            pick = (lambda v, i: v[i] if i < len(v) else math.nan)
            rr.log("joints/leg_position", rr.Scalars([pick(pos, 0), pick(pos, 1), pick(targets, 0), pick(targets, 1)]))
            rr.log("joints/wheel_position", rr.Scalars([pick(pos, 2), pick(pos, 3), pick(targets, 2), pick(targets, 3)]))
            rr.log("joints/velocity", rr.Scalars([pick(vel, i) for i in range(4)]))
            rr.log("joints/torque", rr.Scalars([pick(tau, i) for i in range(4)]))
            roll, pitch = model.roll_pitch(obs["proj_grav"])
            rr.log("body/tilt_deg", rr.Scalars([math.degrees(roll), math.degrees(pitch), tilt_deg(obs["proj_grav"])]))
            self._pose(pos, obs["proj_grav"])
        if state.command is not None:
            rr.log("gamepad/command", rr.Scalars(list(state.command)))
        if state.round_trips_ms:
            rts = sorted(state.round_trips_ms)
            rr.log("link/get_obs_round_trip_ms", rr.Scalars([rts[len(rts) // 2], rts[-1]]))
            state.round_trips_ms.clear()
        state.frames += 1


def blueprint(rrb):
    return rrb.Blueprint(
        rrb.Horizontal(
            rrb.Vertical(
                # From the front left, a little above: both legs and wheels in sight.
                rrb.Spatial3DView(origin="robot", name="robot",
                                  eye_controls=rrb.EyeControls3D(position=[1.1, 0.9, 0.7],
                                                                 look_target=[0, 0, 0.25], eye_up=[0, 0, 1])),
                rrb.TextLogView(origin="events", name="user mode and gains"),
                row_shares=[3, 1]),
            rrb.Vertical(
                rrb.TimeSeriesView(origin="joints/leg_position", name="leg position and target (rad)"),
                rrb.TimeSeriesView(origin="joints/wheel_position", name="wheel position and target (rad)"),
                rrb.TimeSeriesView(origin="joints/velocity", name="velocity (rad/s)"),
                rrb.TimeSeriesView(origin="joints/torque", name="torque (Nm)"),
                rrb.TimeSeriesView(origin="body/tilt_deg", name="body tilt (deg)"),
                rrb.TimeSeriesView(origin="gamepad/command", name="gamepad command"),
                rrb.TimeSeriesView(origin="link/get_obs_round_trip_ms", name="get_obs round trip (ms)")),
            column_shares=[2, 3]),
        collapse_panels=True)


def update(state: State, topic: str, receive_time: int, source_time: int, data: bytes) -> None:
    """Folds one sample into the state; decoding happens here, once per sample."""
    if topic == "user_obs":
        state.obs = decode(SCHEMAS[topic][1], data)
        state.obs_time = receive_time
        if state.pending_request is not None and source_time >= state.pending_request[1]:
            state.round_trips_ms.append((receive_time - state.pending_request[0]) / 1e6)
            state.pending_request = None
    elif topic == "user_obs_request":
        state.pending_request = (receive_time, source_time)
    elif topic == "user_action":
        state.action = decode(SCHEMAS[topic][1], data)
    elif topic == "user_command":
        state.command = decode(SCHEMAS[topic][1], data)["motion_command"]
    elif topic == "user_mode":
        on = decode(SCHEMAS[topic][1], data)["enabled"]
        state.events.append((receive_time, "INFO" if on else "WARN", "user mode on" if on else "user mode off"))
    elif topic == "user_gains":
        g = decode(SCHEMAS[topic][1], data)
        state.events.append((receive_time, "INFO", f"gains kp=[{_fmt(g['kp'])}] kd=[{_fmt(g['kd'])}]"))


def view(domain: int, ros_domain: int | None, connect, output: Path | None, rate: float,
         duration: float | None, log: TextIO = sys.stderr) -> dict:
    """Shows the link until SIGINT, SIGTERM or the end of `duration`; with `output`, also
    records every sample to it. `connect()` returns the Rerun module, connected to a
    viewer; it is called once the readers exist."""
    stop = False

    def request_stop(signum, frame):
        nonlocal stop
        stop = True

    state = State()
    counts: dict[str, int] = {}
    recorder = Recorder(domain, ros_domain)
    lower_priority()
    display = Display(connect(), model.load_links())
    # After Rerun has started: handlers of ours, whatever it installed.
    previous = {s: signal.signal(s, request_stop) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        channels = recorder.channels
        out = RunWriter(output, channels, APP_ID) if output is not None else None
        period = 1.0 / rate

        def take(batch) -> None:
            # Receive order across topics: each reader's listener queues as it delivers.
            for channel, receive_time, source_time, data in sorted(batch, key=lambda s: s[1]):
                topic = channels[channel][0]
                counts[topic] = counts.get(topic, 0) + 1
                if out is not None:
                    out.add(channel, receive_time, source_time, data)
                update(state, topic, receive_time, source_time, data)

        try:
            print(f"viewing DDS domain {domain}" + (f" and ROS 2 domain {ros_domain}" if ros_domain is not None else "")
                  + (f", recording to {output}" if output is not None else ""), file=log, flush=True)
            matched = [0] * len(channels)
            end = None if duration is None else time.monotonic() + duration
            next_frame = time.monotonic()
            while not stop and (end is None or time.monotonic() < end):
                # The readers queue in the native layer meanwhile; nothing waits on us.
                take(recorder.drain(max(0.0, next_frame - time.monotonic())))
                if out is not None:
                    out.flush_if_due()
                report_matches(recorder, channels, matched, log)
                now = time.monotonic()
                if now >= next_frame:
                    display.show(state, time.time_ns())
                    late = int((now - next_frame) / period)
                    state.dropped += late  # frames not shown because the last one was late
                    next_frame += (late + 1) * period
            recorder.close()
            take(recorder.drain(0))
            display.show(state, time.time_ns())
        finally:
            if out is not None:
                out.close()
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
    print("viewed " + (", ".join(f"{t} {n}" for t, n in sorted(counts.items())) or "nothing")
          + f"; {state.frames} frames shown, {state.dropped} dropped", file=log, flush=True)
    return counts


def lower_priority() -> None:
    """This thread, and the threads it starts from now on (Rerun's), yield the processors to
    the robot's loop and its controller. Called once the readers exist: their receive
    threads keep the normal priority, since a starved one can lose a sample that a keep-last 1
    writer has already replaced. What they deliver waits in the native queue meanwhile."""
    try:
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 10)
    except OSError:
        pass
