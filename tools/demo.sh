#!/bin/sh
# A whole simulated update on one machine, inside a private network
# namespace (nothing leaves the machine, ports 11000 and 888 are free).
# Usage: tools/demo.sh BUILD_DIR
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../tests/e2e/in-netns" sh "$here/demo-inside.sh" "$build"
