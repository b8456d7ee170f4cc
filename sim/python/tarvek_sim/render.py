"""Renders a trajectory recorded with ``tarvek-sim --physics mujoco --record PATH`` into a
short video, offscreen (EGL, else OSMesa: no display needed).

    python -m tarvek_sim.render run.traj run.mp4 [--fps 25] [--still frame.png --still-at 5]

The output's suffix picks the format: .mp4 (needs imageio-ffmpeg; without it a .gif is
written instead), .gif (animated, Pillow), or a directory for numbered PNG frames.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

WIDTH, HEIGHT = 640, 480  # multiples of 16, which video encoders want


def read_trajectory(path: Path) -> tuple[Path | None, list[tuple[float, list[float]]]]:
    """The model named in the header (if any) and the (time, qpos) rows."""
    model = None
    rows: list[tuple[float, list[float]]] = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            if line.startswith("#"):
                for part in line.lstrip("# ").split(";"):
                    part = part.strip()
                    if part.startswith("model "):
                        model = Path(part[len("model "):])
                continue
            values = [float(v) for v in line.split()]
            rows.append((values[0], values[1:]))
    if not rows:
        raise SystemExit(f"{path}: no poses recorded")
    return model, rows


def pick_frames(rows, fps: float):
    """Rows resampled to the video's frame rate (the newest pose at or before each frame)."""
    frames = []
    t0, t_end = rows[0][0], rows[-1][0]
    i = 0
    t = t0
    while t <= t_end + 1e-9:
        while i + 1 < len(rows) and rows[i + 1][0] <= t + 1e-9:
            i += 1
        frames.append(rows[i])
        t += 1.0 / fps
    return frames


def render(traj: Path, out: Path, fps: float, still: Path | None, still_at: float) -> int:
    import mujoco  # after MUJOCO_GL is settled
    import numpy as np

    from tarvek_sim import model_path

    model_file, rows = read_trajectory(traj)
    if model_file is None or not model_file.exists():
        model_file = model_path()
    model = mujoco.MjModel.from_xml_path(str(model_file))
    data = mujoco.MjData(model)
    if len(rows[0][1]) != model.nq:
        raise SystemExit(f"{traj}: {len(rows[0][1])} coordinates per pose, the model has {model.nq}")
    renderer = mujoco.Renderer(model, HEIGHT, WIDTH)
    camera = mujoco.MjvCamera()
    camera.type = mujoco.mjtCamera.mjCAMERA_FREE
    camera.distance = 1.8
    camera.azimuth = 125.0
    camera.elevation = -18.0

    def draw(qpos):
        data.qpos[:] = qpos
        mujoco.mj_forward(model, data)
        camera.lookat[:] = [data.qpos[0], data.qpos[1], 0.3]
        renderer.update_scene(data, camera)
        return renderer.render()

    frames = [draw(q) for _, q in pick_frames(rows, fps)]
    if still is not None:
        t_still = min(rows, key=lambda r: abs(r[0] - (rows[0][0] + still_at)))
        from PIL import Image

        Image.fromarray(draw(t_still[1])).save(still, optimize=True)
        print(f"still frame at t={t_still[0]:.2f} s: {still}")
    renderer.close()
    written = write_frames(frames, out, fps, np)
    print(f"{len(frames)} frames ({len(frames) / fps:.1f} s at {fps:g} fps): {written}")
    return 0


def write_frames(frames, out: Path, fps: float, np) -> Path:
    suffix = out.suffix.lower()
    if suffix == ".mp4":
        try:
            import imageio_ffmpeg
        except ImportError:
            out = out.with_suffix(".gif")
            print("imageio-ffmpeg is not installed: writing an animated GIF instead", file=sys.stderr)
            suffix = ".gif"
        else:
            writer = imageio_ffmpeg.write_frames(str(out), (WIDTH, HEIGHT), fps=fps, codec="libx264",
                                                 pix_fmt_out="yuv420p", quality=7)
            writer.send(None)
            for frame in frames:
                writer.send(np.ascontiguousarray(frame).tobytes())
            writer.close()
            return out
    from PIL import Image

    images = [Image.fromarray(frame) for frame in frames]
    if suffix == ".gif":
        images[0].save(out, save_all=True, append_images=images[1:], duration=round(1000 / fps), loop=0)
        return out
    out.mkdir(parents=True, exist_ok=True)
    for i, image in enumerate(images):
        image.save(out / f"frame_{i:04d}.png")
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("trajectory", type=Path)
    ap.add_argument("output", type=Path, help=".mp4, .gif, or a directory for PNG frames")
    ap.add_argument("--fps", type=float, default=25.0)
    ap.add_argument("--still", type=Path, help="also save one frame as a PNG here")
    ap.add_argument("--still-at", type=float, default=5.0, help="seconds into the run for --still")
    args = ap.parse_args(argv)

    gl = os.environ.get("MUJOCO_GL")
    if gl is None:
        # EGL first (Mesa renders without a display); OSMesa where EGL cannot make a context.
        # The backend is fixed at import, so each try runs in a process of its own.
        for backend in ("egl", "osmesa"):
            env = {**os.environ, "MUJOCO_GL": backend}
            cmd = [sys.executable, "-m", "tarvek_sim.render", *(argv if argv is not None else sys.argv[1:])]
            if subprocess.run(cmd, env=env).returncode == 0:
                return 0
            print(f"rendering with {backend} failed", file=sys.stderr)
        return 1
    return render(args.trajectory, args.output, args.fps, args.still, args.still_at)


if __name__ == "__main__":
    sys.exit(main())
