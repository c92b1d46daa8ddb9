#!/usr/bin/env bash
# The main job, self-contained: sets up the machine, starts a local Reticulum (a shared
# instance on loopback, configured in .rns-demo/, no network hardware), runs zivane-server,
# sends one request with zivane-client, prints the response and stops everything.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
exec bash scripts/demo_run.sh
