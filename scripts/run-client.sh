#!/usr/bin/env bash
# Installs what is needed, builds the client (Release) and starts it with
# the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
exec build/src/client/app/quarrydesk-client "$@"
