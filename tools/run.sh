#!/usr/bin/env bash
# Installs what is missing and builds Quillforth natively and for 64- and 32-bit Windows.
# The Windows executables land in build/mingw-x86_64 and build/mingw-i686.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/install-deps.sh"
"$root/tools/build.sh" native mingw-x86_64 mingw-i686
