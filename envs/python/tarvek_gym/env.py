"""Gymnasium environments over the robot's own protocol: each instance drives a simulator of
its own through ``robot.Robot``, exactly as a policy drives the robot."""

from __future__ import annotations

import math
import sys
from typing import Any

import gymnasium as gym
import numpy as np

from tarvek_gym.simulator import (DomainLease, Simulator, connect, derive_seed, resolve_physics,
                                  sim_arguments, use_loopback_if_unset)


_told = False  # the physics notice is printed once per process


def tilt_degrees(obs: dict) -> float:
    """Angle between the body's up axis and the vertical, from the projected gravity."""
    return math.degrees(math.acos(max(-1.0, min(1.0, -obs["proj_grav"][2]))))


class TarvekEnv(gym.Env):
    """Base class of a task on the simulated robot. A subclass sets ``observation_space`` and
    ``action_space`` and defines:

    - ``gains()``: the ``(kp, kd)`` sent to the controller before each episode;
    - ``observe(obs)``: its observation from the dict ``Robot.get_obs`` returns;
    - ``command(action, obs)``: the four values for ``Robot.do_action`` and whether they are
      torques, from its action (and the last observation);
    - ``reward(obs, action)`` and ``terminated(obs)``;
    - optionally ``start_episode()``, called at every reset after the seeding (draw the
      episode's task from ``self.np_random`` there), and ``info(obs)``.

    An instance owns one simulator process in lockstep with episodes, on a DDS domain of
    its own. ``reset(seed=n)`` starts a fresh simulator seeded from ``n``: the same seed
    gives the same robot draws and pushes, the same first observation and, for the same
    actions, the same trajectory. ``reset()`` without a seed goes on with the next episode
    of the same simulator. ``close()`` ends it (again: nothing happens); the simulator dies
    with the process that owns the environment, however that ends.
    """

    metadata = {"render_modes": []}

    def __init__(self, *, physics: str = "auto", control_period: float = 0.005,
                 episode_seconds: float = 10.0, randomize: bool = True, push_every: float = 2.0,
                 push_force: float = 0.0, push_duration: float = 0.1, dds_domain: int | None = None,
                 robot_per_episode: bool = False):
        use_loopback_if_unset()
        self.physics, self.physics_notice = resolve_physics(physics)
        global _told
        if self.physics_notice and not _told:
            _told = True
            print(self.physics_notice, file=sys.stderr)
        self.control_period = float(control_period)
        self.max_steps = max(1, round(episode_seconds / self.control_period))
        self._sim_options = dict(randomize=randomize, push_every=push_every, push_force=push_force,
                                 push_duration=push_duration)
        self.robot_per_episode = robot_per_episode
        self._lease = DomainLease.take(dds_domain, "dds_domain=") if dds_domain is not None else DomainLease.free()
        self.dds_domain = self._lease.domain
        self.sim: Simulator | None = None
        self.robot = None
        self._raw: dict | None = None
        self._steps = 0
        self._closed = False

    # -- to be defined by a task ------------------------------------------------------------
    def gains(self) -> tuple[list[float], list[float]]:
        raise NotImplementedError

    def observe(self, obs: dict) -> np.ndarray:
        raise NotImplementedError

    def command(self, action, obs: dict) -> tuple[list[float], bool]:
        raise NotImplementedError

    def reward(self, obs: dict, action) -> float:
        raise NotImplementedError

    def terminated(self, obs: dict) -> bool:
        return tilt_degrees(obs) >= 30.0

    def start_episode(self) -> None:
        pass

    def info(self, obs: dict) -> dict[str, Any]:
        return {}

    @property
    def simulator_pid(self) -> int | None:
        """The process id of the running simulator (None before the first reset)."""
        return self.sim.proc.pid if self.sim is not None and self.sim.running else None

    # -- the Gymnasium API ------------------------------------------------------------------
    def _start_simulator(self) -> None:
        self._stop_simulator()
        seed = int(self.np_random.integers(0, 2**62))
        self.sim = Simulator(self.dds_domain, sim_arguments(self.physics, self.control_period, seed,
                                                            **self._sim_options))

    def _stop_simulator(self) -> None:
        self._drop_robot()
        if self.sim is not None:
            self.sim.close()
            self.sim = None

    def _drop_robot(self) -> None:
        if self.robot is not None:
            self._end_episode()
            self.robot = None  # its participant leaves before another one joins

    def _end_episode(self) -> None:
        if self._raw is not None:
            self._raw = None
            try:
                self.robot.finish()
            except RuntimeError:
                # Only a machine too busy to acknowledge in time; the simulator ends the
                # episode when user mode off reaches it.
                pass

    def reset(self, *, seed: int | None = None, options: dict | None = None):
        if self._closed:
            raise RuntimeError("reset() on a closed environment")
        super().reset(seed=seed)
        if seed is not None or self.sim is None or not self.sim.running:
            self._start_simulator()
        elif self.robot_per_episode:
            self._drop_robot()
        else:
            self._end_episode()
        if self.robot is None:
            self.robot = connect(self.sim, self.dds_domain)
            self.robot.set_gains(*self.gains())
        self.start_episode()
        self._steps = 0
        # The first request switches user mode on: the simulator puts the robot on its stand.
        self._raw = self.robot.get_obs()
        return self.observe(self._raw), self.info(self._raw)

    def step(self, action):
        if self._raw is None:
            raise RuntimeError("step() before reset(), or after the episode ended and was reset away")
        values, torque = self.command(action, self._raw)
        self.robot.do_action(values, torque_ctrl=torque)
        self._raw = self.robot.get_obs()
        self._steps += 1
        terminated = bool(self.terminated(self._raw))
        truncated = not terminated and self._steps >= self.max_steps
        return (self.observe(self._raw), float(self.reward(self._raw, action)), terminated, truncated,
                self.info(self._raw))

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            self._stop_simulator()
        finally:
            self._lease.release()
        super().close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


# The example's robot: leg stance, gains and limits.
WHEEL_RADIUS = 0.1
KP_LEG, KD_LEG, KP_WHEEL = 60.0, 2.0, 20.0
WHEEL_TORQUE_LIMIT = 17.0
LEG_RANGE = 0.5
# Bounds of the observation (values beyond are clipped): far past anything a robot that is
# still upright shows, rad/s for the joints and the body, m/s for the body.
OBS_JOINT_SPEED, OBS_BODY_RATE, OBS_BODY_SPEED = 200.0, 100.0, 20.0


class BalanceEnv(TarvekEnv):
    """``tarvek/Balance-v0``: stay upright and follow a commanded forward speed and turn rate.

    Observation (17 float32): leg angles (2), joint velocities (4), body angular velocity (3),
    projected gravity (3), body linear velocity (3), commanded speed (m/s) and turn rate
    (rad/s); clipped to ±pi rad, ±200 rad/s, ±100 rad/s, ±1, ±20 m/s and the command ranges
    (±1 where a range is zero). Action (4 in [-1, 1]): leg position targets of ±0.5 rad about the straight
    stance (kp 60, kd 2), and wheel torques of ±17 N m (a position target of
    ``q + torque / kp`` with kp 20, as the example policy asks for a torque). Reward per
    step: ``1 - (v - v_cmd)**2 - 0.25 * (w - w_cmd)**2 - 0.01 * |action|**2`` with ``v`` the
    body's forward speed and ``w`` its yaw rate. Terminated when the body tilts by 30
    degrees; truncated after ``episode_seconds`` (10 s, 2,000 steps of 5 ms). The commands
    are drawn per episode from ``self.np_random``: speed in ``±max_speed`` (0.5 m/s), turn
    rate in ``±max_turn`` (1 rad/s); ``max_speed=0, max_turn=0`` asks to stand still.
    """

    def __init__(self, *, max_speed: float = 0.5, max_turn: float = 1.0, **kwargs):
        super().__init__(**kwargs)
        self.max_speed, self.max_turn = float(max_speed), float(max_turn)
        high = np.array([math.pi] * 2 + [OBS_JOINT_SPEED] * 4 + [OBS_BODY_RATE] * 3 + [1.0] * 3
                        + [OBS_BODY_SPEED] * 3 + [self.max_speed or 1.0, self.max_turn or 1.0], dtype=np.float32)
        self.observation_space = gym.spaces.Box(-high, high, dtype=np.float32)
        self.action_space = gym.spaces.Box(-1.0, 1.0, shape=(4,), dtype=np.float32)
        self.speed_command = self.turn_command = 0.0

    def gains(self):
        return [KP_LEG] * 2 + [KP_WHEEL] * 2, [KD_LEG] * 2 + [0.0, 0.0]

    def start_episode(self) -> None:
        self.speed_command = float(self.np_random.uniform(-self.max_speed, self.max_speed))
        self.turn_command = float(self.np_random.uniform(-self.max_turn, self.max_turn))

    def observe(self, obs: dict) -> np.ndarray:
        values = np.array([*obs["dof_pos"][0:2], *obs["dof_vel"], *obs["ang_vel"], *obs["proj_grav"],
                           *obs["lin_vel"], self.speed_command, self.turn_command], dtype=np.float32)
        # np.clip's dispatch costs more than the rest of this step's Python.
        np.maximum(values, self.observation_space.low, out=values)
        return np.minimum(values, self.observation_space.high, out=values)

    def command(self, action, obs: dict):
        # tolist() turns an array into Python floats at once; iterating it makes NumPy scalars.
        values = action.tolist() if hasattr(action, "tolist") else [float(x) for x in action]
        if len(values) != 4 or not all(map(math.isfinite, values)):
            # Clipping would turn NaN into a full torque, silently.
            raise ValueError(f"action must be 4 finite numbers, got {values}")
        a = self._clipped = [min(1.0, max(-1.0, x)) for x in values]
        return [LEG_RANGE * a[0], LEG_RANGE * a[1],
                obs["dof_pos"][2] + WHEEL_TORQUE_LIMIT / KP_WHEEL * a[2],
                obs["dof_pos"][3] + WHEEL_TORQUE_LIMIT / KP_WHEEL * a[3]], False

    def reward(self, obs: dict, action) -> float:
        speed_error = obs["lin_vel"][0] - self.speed_command
        turn_error = obs["ang_vel"][2] - self.turn_command
        a = self._clipped  # the action as command() applied it
        return 1.0 - speed_error**2 - 0.25 * turn_error**2 - 0.01 * (a[0]**2 + a[1]**2 + a[2]**2 + a[3]**2)

    def info(self, obs: dict) -> dict[str, Any]:
        return {"tilt": tilt_degrees(obs), "speed_command": self.speed_command,
                "turn_command": self.turn_command}
