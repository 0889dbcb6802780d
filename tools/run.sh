#!/usr/bin/env bash
# Installs what is missing, builds Quillforth natively and for 64- and 32-bit Windows, then starts
# the 64-bit Quillforth.exe under Wine in network namespaces of its own (tools/start-quillforth.sh).
# The Windows executables land in build/mingw-x86_64 and build/mingw-i686.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/install-deps.sh"
"$root/tools/build.sh" native mingw-x86_64 mingw-i686
exec "$root/tools/start-quillforth.sh"
