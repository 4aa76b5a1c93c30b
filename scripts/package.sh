#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it with lintian.
#   scripts/package.sh [BUILD_DIR [OUT_DIR]]    defaults: build, BUILD_DIR/packages
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
cd "$root"
scripts/install-deps.sh
scripts/build.sh "$build"
out="$(realpath -m "${2:-$build/packages}")"
rm -rf "$out/_CPack_Packages"
(cd "$build" && cpack -G DEB -B "$out")
package="$(ls -t "$out"/*.deb | head -n 1)"
echo "== lintian $package"
lintian --tag-display-limit 0 "$package"
