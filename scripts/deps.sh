#!/usr/bin/env bash
# Installs every Debian 12 package the build, tests, demo, benchmarks and
# screenshots need.
# Idempotent; run as root or with sudo.
set -euo pipefail
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
PACKAGES=(cmake g++ make pkg-config python3 openssl
          libgtest-dev libgmock-dev libbenchmark-dev
          uuid-dev libdeflate-dev libssl-dev libvips-dev
          qt6-base-dev libexpat1-dev nlohmann-json3-dev fonts-dejavu-core
          uudeview nzbget 7zip xvfb xauth
          dpkg-dev lintian desktop-file-utils man-db par2)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg -s "$p" 2>/dev/null | grep -q 'Status: install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The local news server for the end-to-end tests and the demo.
"$(dirname "$0")/inn-server.sh" install
