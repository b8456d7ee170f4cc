#!/usr/bin/env bash
# Runs once in each manylinux build container before cibuildwheel builds the wheels
# ([tool.cibuildwheel] in pyproject.toml): installs into /usr/local what the project finds
# with find_package, built from source because the image has no packages of them.
#   Cyclone DDS 0.10 (C library and idlc): only what the SDK uses, so the wheel carries
#     libddsc alone: no shared-memory transport (iceoryx), no TLS, no DDS Security.
#   nlohmann_json 3 and CLI11 2 (header-only, for the simulator and the doctor).
set -euo pipefail
cyclonedds_version="${CYCLONEDDS_VERSION:-0.10.5}"
json_version="${NLOHMANN_JSON_VERSION:-3.11.3}"
cli11_version="${CLI11_VERSION:-2.4.2}"
work="$(mktemp -d)"
cd "$work"

git clone --quiet --depth 1 --branch "$cyclonedds_version" \
  https://github.com/eclipse-cyclonedds/cyclonedds.git cyclonedds
cmake -S cyclonedds -B cyclonedds/build -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr/local -DBUILD_IDLC=ON -DBUILD_DDSPERF=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_SHM=OFF -DENABLE_SSL=OFF \
  -DENABLE_SECURITY=OFF
cmake --build cyclonedds/build --parallel "$(nproc)"
cmake --install cyclonedds/build

curl -fsSL -o json.tar.xz \
  "https://github.com/nlohmann/json/releases/download/v$json_version/json.tar.xz"
tar xf json.tar.xz
cmake -S json -B json/build -DCMAKE_INSTALL_PREFIX=/usr/local -DJSON_BuildTests=OFF
cmake --install json/build

git clone --quiet --depth 1 --branch "v$cli11_version" https://github.com/CLIUtils/CLI11.git cli11
cmake -S cli11 -B cli11/build -DCMAKE_INSTALL_PREFIX=/usr/local -DCLI11_BUILD_TESTS=OFF \
  -DCLI11_BUILD_EXAMPLES=OFF -DCLI11_BUILD_DOCS=OFF
cmake --install cli11/build

# Let the build's test runs and auditwheel's repair find the new library.
printf '/usr/local/lib64\n/usr/local/lib\n' >/etc/ld.so.conf.d/cyclonedds.conf
ldconfig
rm -rf "$work"
