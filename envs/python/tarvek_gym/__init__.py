"""Gymnasium environments over the robot's real protocol, against the simulated controller
in lockstep: ``tarvek/Balance-v0`` and ``TarvekEnv``, the base class of a task of your own.

    import gymnasium as gym, tarvek_gym
    env = gym.make("tarvek/Balance-v0")

Needs the ``[gym]`` extra (Gymnasium). ``tarvek_gym.simulator`` (the simulator process and
its DDS domain) works without it.
"""

from __future__ import annotations

ENV_ID = "tarvek/Balance-v0"


def register_envs() -> None:
    """Registers ``tarvek/Balance-v0`` with Gymnasium (again: nothing happens)."""
    import gymnasium

    if ENV_ID not in gymnasium.registry:
        gymnasium.register(id=ENV_ID, entry_point="tarvek_gym.env:BalanceEnv")


def __getattr__(name: str):
    # The environments need Gymnasium; the simulator module does not, so importing the
    # package must not.
    if name in ("TarvekEnv", "BalanceEnv", "tilt_degrees"):
        from tarvek_gym import env

        return getattr(env, name)
    raise AttributeError(f"module 'tarvek_gym' has no attribute {name!r}")


try:
    register_envs()
except ImportError:  # without the [gym] extra: nothing to register with
    pass
