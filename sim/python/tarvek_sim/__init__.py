"""Files of the simulated controller that live beside the SDK's modules: the robot model
of its rigid-body backend, the backend itself, and the tool that renders a recorded run."""

from __future__ import annotations

from pathlib import Path

PACKAGE_DIR = Path(__file__).resolve().parent


def model_path() -> Path:
    """The MJCF model the simulator's rigid-body backend loads by default."""
    return PACKAGE_DIR / "wheel_legged.xml"


def plugin_path() -> Path:
    """The rigid-body backend; absent when the SDK was built without MuJoCo."""
    return PACKAGE_DIR / "libtarvek_sim_mujoco.so"
