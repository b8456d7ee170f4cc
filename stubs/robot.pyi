"""
DDS robot client bindings
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['Robot']
class Robot:
    def __init__(self, dds_domain_id: typing.SupportsInt | typing.SupportsIndex = 1, wait_obs_timeout_ms: typing.SupportsInt | typing.SupportsIndex = 1) -> None:
        """
        Joins DDS domain dds_domain_id with the SDK's topics.
        
        Sends nothing, writes no file and does not wait for a controller: the
        first member that writes waits for it instead (1 s at most, once).
        wait_obs_timeout_ms is the longest single wait of get_obs for an answer;
        0 or less: no limit (see get_obs).
        
        Raises:
          RuntimeError "<DDS call>: <reason>" when DDS refuses an entity, for
            example "dds_create_participant: Error" for a domain id it rejects.
          RuntimeError "Robot cannot be created in a process forked from one
            that uses DDS; use multiprocessing's 'spawn' or 'forkserver' start
            method and create the Robot in the new process".
          TypeError for an argument that is not an integer fitting in 32 bits
            (a float included).
        """
    def do_action(self, action: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], torque_ctrl: bool = False) -> None:
        """
        Sends one action: four values, position targets or, with torque_ctrl
        True, torques.
        
        Needs a successful set_gains first. Switches user mode on if it is off,
        then writes one user_action sample with torque_control = torque_ctrl
        and returns without waiting for an answer (the first write of a Robot
        waits up to 1 s for the controller, see enable_user_mode). finish sends
        the last action again. Values travel as 32-bit floats.
        
        Raises:
          RuntimeError "Call setGains() before doAction()": nothing is sent.
          RuntimeError "action length mismatch: expected 4, got <n>",
            "action has non-finite value at index <i>": no action is sent, but
            user mode may have been switched on.
          RuntimeError "dds_write(user_mode): <reason>",
            "dds_write(user_action): <reason>".
          RuntimeError "Robot was created in another process (this is a forked
            child); use multiprocessing's 'spawn' or 'forkserver' start method
            and create the Robot in the new process".
          TypeError for a str, bytes, an item that is not a number or a
            torque_ctrl without a truth value; "robot.Robot object is not
            initialised: its __init__ was never called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in the first write's wait.
        """
    def enable_user_mode(self) -> None:
        """
        Puts the controller into user mode: the robot follows do_action.
        
        Writes one user_mode sample (enabled) unless user mode is on already,
        then returns. The first write of a Robot waits up to 1 s in all for the
        controller's endpoints and for its acknowledgement of that first
        sample; without a controller it returns after that second, which is
        not an error. get_obs and do_action switch user mode on themselves.
        
        Raises:
          RuntimeError "dds_write(user_mode): <reason>".
          RuntimeError "Robot was created in another process (this is a forked
            child); use multiprocessing's 'spawn' or 'forkserver' start method
            and create the Robot in the new process".
          TypeError "robot.Robot object is not initialised: its __init__ was
            never called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in any wait; the Robot stays usable.
        """
    def finish(self) -> None:
        """
        Hands the robot back to its controller.
        
        When user mode is on: sends the last action again with torque_ctrl
        False (four zeros if none was sent), then user mode off, and waits up
        to 1 s for every reader of user_mode to acknowledge it. A controller
        that matched after user mode on was written gets on again first, so
        that it sees the change; both waits share that second.
        When user mode is off it sends nothing and returns at once. Deleting
        the last reference to a Robot in user mode does the same, errors
        discarded.
        
        Raises:
          RuntimeError "dds_wait_for_acks(user_mode): Timeout" when the
            acknowledgement takes longer than 1 s (a frozen controller). Off
            was written; user mode counts as on, so calling finish again
            repeats the sequence, and never switches user mode on again.
          RuntimeError "dds_write(user_action): <reason>",
            "dds_write(user_mode): <reason>".
          RuntimeError "Robot was created in another process (this is a forked
            child); use multiprocessing's 'spawn' or 'forkserver' start method
            and create the Robot in the new process".
          TypeError "robot.Robot object is not initialised: its __init__ was
            never called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in the wait; call finish again to hand the robot back.
        """
    def get_obs(self) -> dict[str, list[float]]:
        """
        Requests a fresh observation and returns it.
        
        Switches user mode on first if it is off. Discards any observation that
        was already waiting, writes a user_obs_request and waits up to
        wait_obs_timeout_ms for the answer, writing the request again after
        every wait without one, for 10 s in all. A wait is never cut short, so
        with a single wait of 3000 ms the call gives up after about 12 s. With
        no limit (0 or less) the request is written again every second, and the
        call ends with the answer or, once the controller has gone, after 10 s.
        
        Returns a new dict with the keys dof_pos, dof_vel, dof_tau, ang_vel,
        proj_grav and lin_vel, each a list of floats (32-bit values widened).
        
        Raises:
          RuntimeError "getObs() timed out before a fresh observation arrived".
          RuntimeError "dds_write(user_mode): <reason>",
            "dds_write(user_obs_request): <reason>",
            "dds_waitset_wait(user_obs): <reason>".
          RuntimeError "Robot was created in another process (this is a forked
            child); use multiprocessing's 'spawn' or 'forkserver' start method
            and create the Robot in the new process".
          TypeError "robot.Robot object is not initialised: its __init__ was
            never called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in any wait; the Robot stays usable.
        """
    def set_gains(self, kp: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], kd: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        """
        Sends the joints' gains to the controller: four kp, four kd.
        
        Order: left leg, right leg, left wheel, right wheel. Writes one
        user_gains sample, then the runtime state file
        tarvek_sdk_runtime_state_<domain>.txt in the temporary directory, whose
        gains a Joystick on the same domain sends to the robot. User mode is
        left as it is. Values travel as 32-bit floats. The first write of a
        Robot waits up to 1 s for the controller (see enable_user_mode).
        
        Raises (the first three before anything is sent):
          RuntimeError "kp length mismatch: expected 4, got <n>" (kp is checked
            first), "kd length mismatch: expected 4, got <n>".
          RuntimeError "kp has non-finite value at index <i>" (NaN, an infinity
            or a number beyond the 32-bit float range), the same for kd.
          RuntimeError "dds_write(user_gains): <reason>".
          RuntimeError "failed to open runtime state file for writing": the
            gains were sent, but do_action still needs a successful set_gains.
          RuntimeError "Robot was created in another process (this is a forked
            child); use multiprocessing's 'spawn' or 'forkserver' start method
            and create the Robot in the new process".
          TypeError for a str, bytes or an item that is not a number;
            "robot.Robot object is not initialised: its __init__ was never
            called".
          KeyboardInterrupt (or a signal handler's own exception) within 100 ms
            of Ctrl-C in the first write's wait.
        """
