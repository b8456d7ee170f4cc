"""The robot's links and shapes, read from the simulator's MJCF model, and their poses from
an observation: the legs and wheels from `dof_pos`, the body's roll and pitch from
`proj_grav`. Plain XML and arithmetic, so the model needs no physics engine to be shown."""

from __future__ import annotations

import math
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

Quat = tuple[float, float, float, float]  # x, y, z, w
Vec = tuple[float, float, float]


def model_path() -> Path:
    return Path(str(resources.files("tarvek_sim") / "wheel_legged.xml"))


def _vec(text: str | None, default: Vec = (0.0, 0.0, 0.0)) -> Vec:
    if not text:
        return default
    x, y, z = (float(v) for v in text.split())
    return (x, y, z)


def quat_mul(a: Quat, b: Quat) -> Quat:
    ax, ay, az, aw = a
    bx, by, bz, bw = b
    return (aw * bx + bw * ax + ay * bz - az * by,
            aw * by + bw * ay + az * bx - ax * bz,
            aw * bz + bw * az + ax * by - ay * bx,
            aw * bw - ax * bx - ay * by - az * bz)


def axis_angle(axis: Vec, angle: float) -> Quat:
    n = math.sqrt(sum(v * v for v in axis)) or 1.0
    s = math.sin(angle / 2) / n
    return (axis[0] * s, axis[1] * s, axis[2] * s, math.cos(angle / 2))


def rotate(q: Quat, v: Vec) -> Vec:
    x, y, z, _ = quat_mul(quat_mul(q, (v[0], v[1], v[2], 0.0)), (-q[0], -q[1], -q[2], q[3]))
    return (x, y, z)


def z_to(direction: Vec) -> Quat:
    """The rotation that turns +z onto `direction`."""
    n = math.sqrt(sum(v * v for v in direction)) or 1.0
    d = tuple(v / n for v in direction)
    dot = d[2]
    if dot < -0.999999:
        return (1.0, 0.0, 0.0, 0.0)
    # Half-way quaternion: axis z x d, angle acos(dot).
    q = (-d[1], d[0], 0.0, 1.0 + dot)
    m = math.sqrt(sum(v * v for v in q))
    return tuple(v / m for v in q)  # type: ignore[return-value]


@dataclass
class Shape:
    kind: str                 # "box", "capsule", "cylinder"
    center: Vec               # in the link's frame
    rotation: Quat            # the shape's axis (+z) in the link's frame
    size: tuple[float, ...]   # box: half sizes; capsule and cylinder: radius, length
    rgba: tuple[float, float, float, float]


@dataclass
class Link:
    path: str                 # entity path below the robot, parents first
    pos: Vec                  # the body's origin in its parent's frame
    joint_axis: Vec | None    # hinge axis in the body's frame; None for the free base
    joint: int | None         # index into dof_pos
    shapes: list[Shape] = field(default_factory=list)


def _shape(geom: ET.Element) -> Shape | None:
    kind = geom.get("type", "sphere")
    rgba = tuple(float(v) for v in geom.get("rgba", "0.5 0.5 0.5 1").split())
    size = [float(v) for v in geom.get("size", "0").split()]
    pos = _vec(geom.get("pos"))
    rot: Quat = (0.0, 0.0, 0.0, 1.0)
    if geom.get("euler"):
        # Intrinsic x, y, z: the model compiler's default sequence.
        ex, ey, ez = _vec(geom.get("euler"))
        rot = quat_mul(quat_mul(axis_angle((1, 0, 0), ex), axis_angle((0, 1, 0), ey)), axis_angle((0, 0, 1), ez))
    if kind == "box":
        return Shape("box", pos, rot, tuple(size[:3]), rgba)  # type: ignore[arg-type]
    if kind in ("capsule", "cylinder"):
        if geom.get("fromto"):
            f = [float(v) for v in geom.get("fromto", "").split()]
            a, b = (f[0], f[1], f[2]), (f[3], f[4], f[5])
            d = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
            length = math.sqrt(sum(v * v for v in d))
            center = ((a[0] + b[0]) / 2, (a[1] + b[1]) / 2, (a[2] + b[2]) / 2)
            return Shape(kind, center, z_to(d), (size[0], length), rgba)
        return Shape(kind, pos, rot, (size[0], 2 * size[1]), rgba)
    return None


def load_links(path: Path | None = None) -> list[Link]:
    """The moving bodies of the model, from the free base down; ground geometry left out
    (the robot's position on it is not observed)."""
    root = ET.parse(path or model_path()).getroot()
    joints = [m.get("joint") for m in root.iter("motor")]
    links: list[Link] = []

    def walk(body: ET.Element, parent: str) -> None:
        name = body.get("name", f"body{len(links)}")
        here = f"{parent}/{name}" if parent else name
        hinge = body.find("joint")
        axis = _vec(hinge.get("axis"), (0.0, 0.0, 1.0)) if hinge is not None else None
        joint = joints.index(hinge.get("name")) if hinge is not None and hinge.get("name") in joints else None
        link = Link(here, _vec(body.get("pos")), axis, joint)
        for geom in body.findall("geom"):
            shape = _shape(geom)
            if shape is not None:
                link.shapes.append(shape)
        links.append(link)
        for child in body.findall("body"):
            walk(child, here)

    for body in root.find("worldbody").findall("body"):  # type: ignore[union-attr]
        walk(body, "")
    return links


def roll_pitch(proj_grav: list[float]) -> tuple[float, float]:
    """Roll and pitch (rad) of a body whose frame sees gravity's direction as `proj_grav`
    (yaw is not observable from gravity)."""
    if len(proj_grav) < 3:
        return 0.0, 0.0
    gx, gy, gz = proj_grav[:3]
    n = math.sqrt(gx * gx + gy * gy + gz * gz)
    if n == 0:
        return 0.0, 0.0
    gx, gy, gz = gx / n, gy / n, gz / n
    return math.atan2(-gy, -gz), math.asin(max(-1.0, min(1.0, gx)))


def body_rotation(proj_grav: list[float]) -> Quat:
    roll, pitch = roll_pitch(proj_grav)
    return quat_mul(axis_angle((0, 1, 0), pitch), axis_angle((1, 0, 0), roll))


def poses(links: list[Link], dof_pos: list[float], proj_grav: list[float]) -> dict[str, tuple[Vec, Quat]]:
    """Each link's translation and rotation relative to its parent. The base stands at the
    height that puts its lowest wheel on the ground."""
    out: dict[str, tuple[Vec, Quat]] = {}
    world: dict[str, tuple[Vec, Quat]] = {}
    for link in links:
        if link.joint_axis is None:
            q = body_rotation(proj_grav)
        else:
            angle = dof_pos[link.joint] if link.joint is not None and link.joint < len(dof_pos) else 0.0
            q = axis_angle(link.joint_axis, angle)
        out[link.path] = (link.pos, q)
        parent = link.path.rpartition("/")[0]
        if parent in world:
            pp, pq = world[parent]
            p = rotate(pq, link.pos)
            world[link.path] = ((pp[0] + p[0], pp[1] + p[1], pp[2] + p[2]), quat_mul(pq, q))
        else:
            world[link.path] = ((0.0, 0.0, 0.0), q)
    # Wheels touch the ground with their rim: lowest wheel centre less its radius.
    lowest = None
    for link in links:
        for s in link.shapes:
            if s.kind == "cylinder" and link.path in world:
                z = world[link.path][0][2] - s.size[0]
                lowest = z if lowest is None else min(lowest, z)
    if lowest is not None and links:
        base = links[0].path
        (x, y, _), q = out[base]
        out[base] = ((x, y, -lowest), q)
    return out
