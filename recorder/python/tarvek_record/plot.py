"""One picture of a recorded run."""

from __future__ import annotations

import bisect
import math
from pathlib import Path

from tarvek_record.runfile import Run, decoded

JOINTS = ("left leg", "right leg", "left wheel", "right wheel")


def round_trips_ms(run: Run) -> list[float]:
    """Request to answer, from the log times. Each observation answers the latest request
    written before it that no earlier observation answered; which one that is comes from the
    writers' time stamps, since the recorder may hear an answer before the request it
    answers. Such a pair gives a negative figure."""
    requests = sorted(run.topic("user_obs_request"), key=lambda r: r.publish_time)
    written = [r.publish_time for r in requests]
    out = []
    answered = -1
    for obs in sorted(run.topic("user_obs"), key=lambda r: r.publish_time):
        i = bisect.bisect_right(written, obs.publish_time) - 1
        if i > answered:
            out.append((obs.log_time - requests[i].log_time) / 1e6)
            answered = i
    return out


def tilt_deg(proj_grav: list[float]) -> float:
    """Angle between the body's vertical and gravity."""
    if len(proj_grav) < 3:
        return math.nan
    norm = math.sqrt(sum(v * v for v in proj_grav[:3]))
    return math.degrees(math.acos(max(-1.0, min(1.0, -proj_grav[2] / norm)))) if norm else math.nan


def plot(run: Run, out: Path, title: str | None = None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0 = run.records[0].log_time if run.records else 0

    def secs(r):
        return (r.log_time - t0) / 1e9

    obs = list(decoded(run, "user_obs")) if "user_obs" in run.schemas else []
    actions = list(decoded(run, "user_action")) if "user_action" in run.schemas else []
    t_obs = [secs(r) for r, _ in obs]

    fig, axes = plt.subplots(6, 1, figsize=(11, 16), constrained_layout=True)
    ax_legs, ax_wheels, ax_vel, ax_tau, ax_tilt, ax_rt = axes
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for j, name in enumerate(JOINTS):
        c = colors[j % len(colors)]
        # Legs and wheels apart: a wheel turns through many radians, a leg through a few.
        ax_pos = ax_legs if j < 2 else ax_wheels
        ax_pos.plot(t_obs, [o["dof_pos"][j] if len(o["dof_pos"]) > j else math.nan for _, o in obs],
                    color=c, lw=1, label=f"{name} position")
        targets = [(secs(r), a["value"][j]) for r, a in actions
                   if not a["torque_control"] and len(a["value"]) > j]
        if targets:
            ax_pos.plot(*zip(*targets), color=c, lw=0.8, ls="--", label=f"{name} target")
        ax_vel.plot(t_obs, [o["dof_vel"][j] if len(o["dof_vel"]) > j else math.nan for _, o in obs],
                    color=c, lw=1, label=name)
        ax_tau.plot(t_obs, [o["dof_tau"][j] if len(o["dof_tau"]) > j else math.nan for _, o in obs],
                    color=c, lw=1, label=name)
    ax_tilt.plot(t_obs, [tilt_deg(o["proj_grav"]) for _, o in obs], color="k", lw=1)
    ax_legs.set_ylabel("leg position (rad)")
    ax_wheels.set_ylabel("wheel position (rad)")
    ax_vel.set_ylabel("velocity (rad/s)")
    ax_tau.set_ylabel("torque (Nm)")
    ax_tilt.set_ylabel("body tilt (deg)")
    ax_legs.legend(ncol=4, fontsize="small", loc="upper right")
    ax_wheels.legend(ncol=4, fontsize="small", loc="upper right")
    ax_vel.legend(ncol=4, fontsize="small", loc="upper right")

    # User mode and gains changes, marked across every time axis.
    marks = []
    if "user_mode" in run.schemas:
        marks += [(secs(r), "user mode on" if m["enabled"] else "user mode off", "tab:green" if m["enabled"] else "tab:red")
                  for r, m in decoded(run, "user_mode")]
    if "user_gains" in run.schemas:
        marks += [(secs(r), "gains kp=" + ",".join(f"{v:g}" for v in g["kp"]), "tab:purple")
                  for r, g in decoded(run, "user_gains")]
    for ax in (ax_legs, ax_wheels, ax_vel, ax_tau, ax_tilt):
        for t, _, c in marks:
            ax.axvline(t, color=c, lw=0.8, alpha=0.7)
        ax.set_xlabel("time since the first sample (s)")
    for i, (t, label, c) in enumerate(marks):
        # Staggered, since a mode switch and the first gains often come together.
        ax_tilt.annotate(label, (t, 0.98 - 0.12 * (i % 4)), xycoords=("data", "axes fraction"),
                         va="top", ha="left", fontsize="x-small", color=c)

    rts = sorted(round_trips_ms(run))
    if rts:
        median = rts[len(rts) // 2]
        p99 = rts[min(len(rts) - 1, int(0.99 * len(rts)))]
        # The bulk of the distribution, not the few stragglers, decides the scale.
        shown = [v for v in rts if v <= 2 * p99]
        ax_rt.hist(shown, bins=60, color="tab:blue")
        ax_rt.set_title(f"get_obs round trip at the recorder: {len(rts)} answers, median {median:.3f} ms, "
                        f"p99 {p99:.3f} ms, max {rts[-1]:.3f} ms ({len(rts) - len(shown)} beyond the plot)",
                        fontsize="medium")
    ax_rt.set_xlabel("request to answer (ms); below 0: the recorder heard the answer before the request")
    ax_rt.set_ylabel("count")
    fig.suptitle(title or "recorded run")
    fig.savefig(out, dpi=80)
    plt.close(fig)
