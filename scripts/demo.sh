#!/usr/bin/env bash
# The main job: builds the gateway and runs it on the example plant, printing
# one JSON line per published record, alarm change and command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec build/smdgw --config examples/gateway.json --replay examples/plant.cap \
    --log build/demo-driver.log --get out_v --get ac "$@"
