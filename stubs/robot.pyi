"""
DDS robot client bindings
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Robot']
class Robot:
    def __init__(self, dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1, wait_obs_timeout_ms: typing.SupportsInt | typing.SupportsIndex = 1) -> None:
        ...
    def do_action(self, action: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], torque_ctrl: bool = False) -> None:
        ...
    def enable_user_mode(self) -> None:
        ...
    def finish(self) -> None:
        ...
    def get_obs(self) -> dict[str, list[float]]:
        ...
    def set_gains(self, kp: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], kd: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
