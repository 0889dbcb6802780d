#!/usr/bin/env bash
# Starts the built Quillforth.exe under Wine in a world of its own, as the end-to-end tests do:
# a network namespace for the program and a fake upstream DNS server in a second one (198.18.9.2,
# answering www.example.test, mail.example.test and www.example.com), so that its lookups and its
# takeover of the adapters' DNS servers touch nothing outside. It shows on $DISPLAY when that is a
# local display, else on a virtual one. Needs root.
#
# From a terminal it runs until the program ends (tray menu "&Exit", Escape) or Ctrl+C, which
# asks the program to exit as the tray menu does. Without a terminal it answers one query through
# the program, prints it and ends the program.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tree=$root/build/mingw-x86_64
source "$root/tests/support/e2e_env.sh"
e2e_require
[[ "${DISPLAY:-}" =~ ^:[0-9]+(\.[0-9]+)?$ ]] && export QF_E2E_DISPLAY=$DISPLAY

e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" \
    "$tree/tests/app/qf_window_tool.exe" www.example.test='198.19.0.1|198.19.0.2' \
    mail.example.test=198.19.0.3 www.example.com=198.19.0.9
e2e_install_exe "$tree/app/Quillforth.exe"
# The program's folder is a scratch folder: keep its cache and settings in build/run instead.
mkdir -p "$root/build/run"
[ -f "$root/build/run/DnsItem.csv" ] && cp "$root/build/run/DnsItem.csv" "$work/bin/"
e2e_start

exit_program() {
    window command "$caption" 32772
    wait_ended "$program" >/dev/null
    cp "$work/bin/DnsItem.csv" "$work/bin/Quillforth.ini" "$root/build/run/" 2>/dev/null
}

cat <<TEXT
Quillforth.exe runs in network namespace $srv on display $display.
Query it:          ip netns exec $srv dig @127.0.0.1 www.example.test
Its window:        DISPLAY=$display xwd -root -silent | convert xwd:- quillforth.png
Its folder:        $work/bin (cache and settings are kept in build/run when it ends)
TEXT

if [ ! -t 0 ]; then
    echo "First query:  $(query www.example.test | head -1)"
    echo "Second query: $(query www.example.test | head -1)   (from the cache)"
    exit_program
    echo "Quillforth.exe ended; its cache is in build/run/DnsItem.csv"
    exit 0
fi
trap 'echo; exit_program; exit 0' INT TERM
echo "Ctrl+C ends it."
while kill -0 "$program" 2>/dev/null; do
    sleep 1
done
cp "$work/bin/DnsItem.csv" "$work/bin/Quillforth.ini" "$root/build/run/" 2>/dev/null
