#!/usr/bin/env bash
# The SDK's main job on a machine without a robot: set up, start the simulated controller
# (rigid-body physics) on the loopback-only configuration, run the example policy that
# balances and drives the robot against it, stop it. Extra arguments go to the example
# (see examples/balance_and_drive.py --help; --zero-gains shows the robot falling).
# The run's trajectory is left in build/example.traj for python -m tarvek_sim.render, its
# recording (every sample on the link) in build/example.mcap and the recording's plot in
# build/example-plot.png.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
dds_domain="${TARVEK_DDS_DOMAIN:-1}"
ros2_domain="${TARVEK_ROS2_DOMAIN:-0}"

mkdir -p "$root/build"
log="$root/build/simulator.log"
# The gamepad publishes faster than the policy reads it, so a read never waits for one.
"$root/.venv/bin/tarvek-sim" --domain "$dds_domain" --ros-domain "$ros2_domain" \
  --gamepad demo --gamepad-rate 200 --physics mujoco --record "$root/build/example.traj" \
  </dev/null >"$log" 2>&1 &
sim=$!
rec=""
trap 'for p in $rec $sim; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done' EXIT
for _ in $(seq 200); do
  grep -q '"ready"' "$log" && break
  kill -0 "$sim" 2>/dev/null || { cat "$log"; exit 1; }
  sleep 0.05
done
echo "simulated controller running (MuJoCo physics, DDS domain $dds_domain, ROS 2 domain $ros2_domain)"

# The recorder listens from before the policy starts, so it hears every sample.
rec_log="$root/build/recorder.log"
"$root/.venv/bin/tarvek-record" --domain "$dds_domain" --ros-domain "$ros2_domain" \
  -o "$root/build/example.mcap" </dev/null >"$rec_log" 2>&1 &
rec=$!
for _ in $(seq 200); do
  grep -q "user_obs: 1 writer" "$rec_log" && break
  kill -0 "$rec" 2>/dev/null || { cat "$rec_log"; exit 1; }
  sleep 0.05
done

"$root/.venv/bin/python" "$root/examples/balance_and_drive.py" \
  --dds-domain "$dds_domain" --ros2-domain "$ros2_domain" "$@"

kill -INT "$rec"
wait "$rec" || { cat "$rec_log"; exit 1; }
rec=""
tail -1 "$rec_log"
"$root/.venv/bin/tarvek-record" plot "$root/build/example.mcap" -o "$root/build/example-plot.png"
