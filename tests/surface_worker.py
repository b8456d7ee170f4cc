"""Runs calls into the two modules on behalf of test_hostile_surface.py, one per request, and
reports what each raised. It lives in a process of its own so that a call that crashes the
interpreter ends only this process, which the test then reports.

Protocol: on stdin, length-prefixed pickles of (target, args, kwargs) whose values are
descriptions built here (see build); on stdout, one JSON line per call. Arguments: the DDS
domain of a running simulator and the ROS 2 domain of its configuration service."""

import collections.abc
import json
import pickle
import struct
import sys

import joystick
import robot


class Own(Exception):
    """What the hostile objects raise: may come out of any call unchanged."""


class OwnIndexError(IndexError):
    pass


def build(d):
    kind = d[0]
    if kind in ("int", "float", "bool", "str", "bytes"):
        return d[1]
    if kind == "none":
        return None
    if kind == "object":
        return object()
    if kind == "list":
        return [build(x) for x in d[1]]
    if kind == "tuple":
        return tuple(build(x) for x in d[1])
    if kind == "frozenset":
        return frozenset(build(x) for x in d[1])
    if kind == "dict":
        return {build(k): build(v) for k, v in d[1]}
    if kind == "generator":
        return (build(x) for x in d[1])
    if kind == "float_obj":
        return _float_obj(d[1], d[2])
    if kind == "index_obj":
        return _index_obj(d[1], d[2])
    if kind == "lying_len":
        n = d[1]

        class LyingLen(list):
            def __len__(self):
                return n

        return LyingLen(build(x) for x in d[2])
    if kind == "raising_len":

        class RaisingLen(list):
            def __len__(self):
                raise Own("__len__")

        return RaisingLen(build(x) for x in d[1])
    if kind == "raising_iter":

        class RaisingIter(list):
            def __iter__(self):
                raise Own("__iter__")

        return RaisingIter(build(x) for x in d[1])
    if kind == "lying_iter":
        extra = [build(x) for x in d[2]]

        class LyingIter(list):
            def __iter__(self):
                yield from list.__iter__(self)
                yield from extra

        return LyingIter(build(x) for x in d[1])
    if kind == "sequence":
        n, items = d[1], [build(x) for x in d[2]]

        class Seq(collections.abc.Sequence):
            def __len__(self):
                return n

            def __getitem__(self, i):
                if isinstance(i, int) and 0 <= i < len(items):
                    return items[i]
                raise OwnIndexError(i)

        return Seq()
    if kind == "self_clearing":
        # A list whose items, once converted, empty the list they are in.
        holder = [build(x) for x in d[1]]

        class Clearing:
            def __float__(self):
                holder.clear()
                return 1.0

            def __index__(self):
                holder.clear()
                return 1

        holder.insert(len(holder) // 2, Clearing())
        return holder
    raise ValueError(f"unknown description {d!r}")


def _float_obj(mode, value):
    class F:
        def __float__(self):
            if mode == "raise":
                raise Own("__float__")
            if mode == "wrong-type":
                return "1.0"
            return value

    return F()


def _index_obj(mode, value):
    class I:
        def __index__(self):
            if mode == "raise":
                raise Own("__index__")
            if mode == "wrong-type":
                return 1.5
            return value

        __int__ = __index__

    return I()


def main():
    domain, ros_domain = int(sys.argv[1]), int(sys.argv[2])
    # Objects for the members to work on. The first set_gains waits for the simulator's
    # readers once, and the first Joystick fixes the process's ROS 2 domain: every later
    # construction finds the simulator's service at once, whatever its own arguments say.
    warm_robot = robot.Robot(domain)
    warm_robot.set_gains([1, 1, 1, 1], [1, 1, 1, 1])
    warm_joystick = joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain)
    targets = {
        "Robot": robot.Robot,
        "Joystick": joystick.Joystick,
        "robot": lambda name: getattr(warm_robot, name),
        "joystick": lambda name: getattr(warm_joystick, name),
        "new-robot": lambda name: getattr(robot.Robot.__new__(robot.Robot), name),
        "new-joystick": lambda name: getattr(joystick.Joystick.__new__(joystick.Joystick), name),
    }
    out = sys.stdout
    out.write("ready\n")
    out.flush()
    stdin = sys.stdin.buffer
    while True:
        header = stdin.read(4)
        if len(header) < 4:
            return
        (size,) = struct.unpack("<I", header)
        target, args, kwargs = pickle.loads(stdin.read(size))
        reply = {"raised": None}
        try:
            call_args = [build(a) for a in args]
            call_kwargs = {k: build(v) for k, v in kwargs}
            kind, _, member = target.partition(".")
            fn = targets[kind](member) if member else targets[kind]
            result = fn(*call_args, **call_kwargs)
            del result
        except BaseException as e:  # noqa: B036 - everything is reported, nothing escapes
            reply = {"raised": type(e).__name__, "own": isinstance(e, (Own, OwnIndexError)),
                     "message": str(e)[:500]}
        out.write(json.dumps(reply) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
