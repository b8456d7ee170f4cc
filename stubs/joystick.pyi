"""
Joystick bindings
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Joystick']
class Joystick:
    def __init__(self, cmd_mapping: collections.abc.Sequence[str] = [], cmd_range: typing.Any = None, dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1, ros2_domain_id: typing.SupportsInt | typing.SupportsIndex = 0) -> None:
        """
        Reads the operator's gamepad as the robot publishes it, and configures
        the robot once for it.
        
        cmd_mapping: which keys get_cmd returns, in this order, each at most
          once, from left_x, left_y, right_x, right_y, dpad_x, dpad_y, left_btn
          and right_btn. Empty: all eight, in the order left_y, right_x, left_x,
          right_y, dpad_x, dpad_y, left_btn, right_btn.
        cmd_range: None, or a dict (or anything dict() accepts) of key to
          [low, high], and the d-pad steps dpad_step_x and dpad_step_y (at
          least 0; 0.1 when not given).
        dds_domain_id: the robot's DDS domain; its runtime state file gives the
          gains sent (the defaults when there is none).
        ros2_domain_id: the ROS 2 domain, joined by a process's first Joystick;
          later ones reuse it. That first one also installs SIGINT and SIGTERM
          handlers that shut the ROS 2 side down and chain to the ones before.
        
        Sends one request to the robot's /dynamic_param_config service (mapping
        slots, ranges, d-pad steps, gains): waits up to 3 s for the service,
        then up to 5 s for its answer.
        
        Raises, before anything touches the network:
          RuntimeError "cmd_mapping is too long: expected at most 8",
            "cmd_mapping has invalid key: <key>",
            "cmd_mapping keys must be unique",
            "cmd_range has invalid key: <key>",
            "cmd_range has invalid value: <key>" (not a pair of numbers, or a
            d-pad step that is negative or not finite),
            "cmd_range has non-finite range: <key>",
            "cmd_range has invalid range: <key>" (low above high).
          A key is shown whole; NUL and bytes that are not UTF-8 are written as
          hexadecimal escapes.
        Raises afterwards:
          RuntimeError "dynamic_param service is unavailable" (none within 3 s),
            "dynamic_param service request timed out" (no answer within 5 s),
            "dynamic_param service request failed" (the ROS 2 side shut down),
            "dynamic_param request rejected" or
            "dynamic_param request rejected: <robot's message>".
          RuntimeError "<DDS call>: <reason>" when DDS refuses an entity.
          RuntimeError "Joystick cannot be created in a process forked from one
            that uses DDS; use multiprocessing's 'spawn' or 'forkserver' start
            method and create the Joystick in the new process".
          TypeError for an argument of the wrong type: a str as cmd_mapping, a
            float domain id, an id that does not fit in 32 bits.
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in either wait, with the ROS 2 side's failure (one of the
            service messages above) as its context.
        """
    def get_cmd(self) -> dict:
        """
        Returns the newest gamepad command: {"cmd_vector": [...]}.
        
        One float per key of cmd_mapping, in its order; zeros when no new
        command arrived within 10 ms, the longest this waits. Call it at or
        below the robot's publishing rate. Sends nothing.
        
        Raises:
          RuntimeError "dds_waitset_wait(user_command): <reason>".
          RuntimeError "Joystick was created in another process (this is a
            forked child); use multiprocessing's 'spawn' or 'forkserver' start
            method and create the Joystick in the new process".
          TypeError "joystick.Joystick object is not initialised: its __init__
            was never called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in the wait.
        """
