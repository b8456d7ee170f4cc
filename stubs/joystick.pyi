"""
Joystick bindings
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Joystick']
class Joystick:
    def __init__(self, cmd_mapping: collections.abc.Sequence[str] = [], cmd_range: typing.Any = None, dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1, ros2_domain_id: typing.SupportsInt | typing.SupportsIndex = 0) -> None:
        ...
    def get_cmd(self) -> dict:
        ...
