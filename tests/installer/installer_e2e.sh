#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh), a fake DNS Client service standing in: a
# silent upgrade over a running older version, the program as installed, silent uninstalls while
# it runs and after it was killed during its takeover, and the pages clicked through. Needs root.
#     installer_e2e.sh SETUP_EXE OLDER_SETUP_EXE PORTABLE_ZIP WINDOW_TOOL_EXE FAKE_SERVICE_EXE \
#                      FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT
# QF_E2E_SHOTS=DIR keeps screenshots of the pages there.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../support/e2e_env.sh
source "$here/../support/e2e_env.sh"
setup=$1
older_setup=$2
portable_zip=$3
window_tool_exe=$4
fake_service=$5
fake_upstream_py=$6
wine_template_script=$7
e2e_require
e2e_setup "$wine_template_script" "$fake_upstream_py" "$window_tool_exe" \
    www.example.test='198.19.0.1|198.19.0.2' www.example.com=198.19.0.9
started=$SECONDS

install_dir="$prefix/drive_c/Program Files/Quillforth"
program_path='C:\Program Files\Quillforth\Quillforth.exe'
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillforth.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillforth'
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
setup_caption='Quillforth 1.80 (64-bit) Setup'
uninstall_caption='Quillforth 1.80 (64-bit) Uninstall'
learned='www.example.test,198.19.0.1|198.19.0.2,300'

# Wine would copy every shortcut made in the prefix into the host's desktop menus.
in_srv "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /t REG_SZ /d '' \
    /f >/dev/null 2>&1

# A window tool verb for a setup or uninstall window: NSIS appends each page's own caption to the
# window's, a space on most pages. Its message boxes have the window's caption alone.
wizard() {
    local verb=$1 base=$2
    shift 2
    window "$verb" "$base " "$@" || window "$verb" "$base" "$@"
}
# A value's whole text (reg_value gives its first word only), or nothing when it is missing.
reg_data() {
    in_srv "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
has_key() {
    in_srv "$wine" reg query "$1" >/dev/null 2>&1
}
exists() {
    [ -e "$1" ] && echo yes || echo no
}
dns_client_state() {
    in_srv "$wine" sc query Dnscache | tr -d '\r' | awk '$1 == "STATE" {print $4}'
}
serves() {
    query www.example.test | grep -c ' IN A '
}
run_setup() {
    in_srv "$wine" "$@" >>"$work/setup.log" 2>&1 </dev/null
    echo $?
}
start_installed() {
    in_srv "$wine" "$install_dir/Quillforth.exe" >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    program=$!
    wait_serving
}
# The uninstaller runs from a copy of itself in the temporary folder (~nsuN.tmp\Un.exe) and returns
# at once; that copy removes the Add/Remove Programs entry last.
uninstall_silently() {
    in_srv "$wine" "$install_dir/Uninstall.exe" /S >>"$work/setup.log" 2>&1 </dev/null
    wait_until 30 uninstall_entry_gone
    wait_until 10 uninstaller_ended
}
uninstall_entry_gone() {
    ! has_key "$uninstall_key"
}
uninstaller_ended() {
    ! ip netns pids "$srv" | xargs -r ps -o args= -p | grep -qF '\Un.exe '
}
# The text of a wizard's Next button, which names what it does on the page shown.
button_reads() {
    [ "$(wizard text "$1" 1)" == "$2" ]
}
# A screenshot of the wizard CAPTION's page as SHOT (once it has drawn), then its Next button.
next_page() {
    sleep 0.5
    screenshot "$2"
    wizard command "$1" 1
}
# The learned entry as the cache file holds it: domain, addresses, time to live.
cached_entry() {
    grep -a '^www.example.test' "$install_dir/DnsItem.csv" 2>/dev/null | cut -d, -f1-3
}
# The portable zip's files, and whether its program is the installed one.
zip_contents() {
    python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(*sorted(n for n in z.namelist() if not n.endswith("/")),
      z.read("Quillforth/Quillforth.exe") == open(sys.argv[2], "rb").read())' \
        "$portable_zip" "$install_dir/Quillforth.exe"
}
# What an uninstall leaves of the program: its files, shortcut, Run value and entry.
check_program_removed() {
    local when=$1 file
    for file in Quillforth.exe Uninstall.exe Readme.txt; do
        check "$when: $file is removed" no "$(exists "$install_dir/$file")"
    done
    check "$when: the Start menu shortcut is removed" no "$(exists "$shortcut")"
    check "$when: the Run value is removed" "" "$(reg_data "$run_key" Quillforth)"
    check "$when: every logon task is deleted" "no no" "$(tasks_exist Quillforth "$own")"
    check "$when: the Add/Remove Programs entry is removed" 1 "$(has_key "$uninstall_key"; echo $?)"
    check "$when: port 53 is closed" 0 "$(serves)"
    check "$when: the adapter has its servers back" "$adapter_servers" "$(name_server)"
    check "$when: the machine's record is gone" 1 "$(has_key 'HKLM\Software\Veltmark'; echo $?)"
    check_soon 5 "$when: the DNS Client service runs again" RUNNING dns_client_state
}

# The DNS Client service, played by a fake, runs before the program ever does.
cp "$fake_service" "$work/dnscache.exe"
in_srv "$wine" sc create Dnscache binpath= "Z:${work//\//\\}\\dnscache.exe" start= demand \
    >/dev/null 2>&1
in_srv "$wine" sc start Dnscache >/dev/null 2>&1
check_soon 5 "the DNS Client service runs before the program is installed" RUNNING dns_client_state

# ---- An older version, installed and running, is upgraded ----
check "the older version installs silently" 0 "$(run_setup "$older_setup" /S)"
check "the older version is registered" 1.79 "$(reg_data "$uninstall_key" DisplayVersion)"
# The upstream is the fake one before the first start; autostart is on, as by default.
printf '[Settings]\r\nDns=%s\r\nStartAtLogin=1\r\nUpdateHours=5\r\n' "$upstream_address" \
    >"$install_dir/Quillforth.ini"
own=$(own_task)
register_task Quillforth
register_task "$own"
start_installed
check "the older version serves and learns" 2 "$(serves)"
check "it takes the adapter over" 127.0.0.1 "$(name_server)"
check_soon 5 "it stops the DNS Client service" STOPPED dns_client_state
# Wine lets its user write every folder: no copy here may register the elevated task, and each
# start deletes the user's task and the shared one of older versions. Registered again, they stand
# for those of other copies and users.
check_soon 5 "a copy in a writable folder deletes the logon tasks at start" "no no" \
    tasks_exist Quillforth "$own"
register_task Quillforth
register_task "$own"

check "the upgrade installs silently over the running copy" 0 "$(run_setup "$setup" /S)"
check "the running copy was asked to exit" ended "$(wait_ended "$program")"
check "on its way out it put the adapter back" "$adapter_servers" "$(name_server)"
check_soon 5 "and started the DNS Client service again" RUNNING dns_client_state
check "its cache was saved and kept" "$learned" "$(cached_entry)"
check "the upgrade keeps the logon tasks, which name the same program" "yes yes" \
    "$(tasks_exist Quillforth "$own")"
# The program adds the adapters' servers to the upstream list behind the configured one.
check "its settings were kept" "Dns=$upstream_address UpdateHours=5" \
    "$(tr -d '\r' <"$install_dir/Quillforth.ini" | grep -E '^(Dns|UpdateHours)=' | sort |
        cut -d'|' -f1 | paste -sd' ')"

# ---- The program as installed ----
for file in Quillforth.exe Readme.txt Uninstall.exe; do
    check "$file is installed" yes "$(exists "$install_dir/$file")"
done
check "the portable zip holds the installed program and its read-me in one folder" \
    "Quillforth/Quillforth.exe Quillforth/Readme.txt True" "$(zip_contents)"
check "the Start menu has a shortcut" yes "$(exists "$shortcut")"
# Bit 0x2000 (RunAsUser) of the link flags at offset 0x14: the shortcut asks for administrator
# rights.
check "the shortcut runs the program as administrator" 32 \
    "$(( $(od -An -tu1 -j21 -N1 "$shortcut") & 32 ))"
check "the shortcut starts the installed program" yes \
    "$(grep -aqF "$program_path" "$shortcut" && echo yes)"
check "Add/Remove Programs has the new version" 1.80 "$(reg_data "$uninstall_key" DisplayVersion)"

# The adapter's DNS is a resolver of the user's on 127.0.0.1: Start, Stop and the uninstaller leave
# it as it is and say so.
set_adapter 127.0.0.1
: >"$upstream_log"
: >"$ipconfig_log"
start_installed
check "the installed program serves its kept cache, every address" \
    "www.example.test. IN A 198.19.0.1,www.example.test. IN A 198.19.0.2" \
    "$(query www.example.test | awk '{print $1, $3, $4, $5}' | paste -sd,)"
check "without asking the upstream" 0 "$(grep -c www.example.test "$upstream_log")"
check_soon 3 "the status box says that the adapter kept its own DNS" "Kept its own DNS: veth0" \
    eval 'status_text | sed -n 1p'
window command "$caption" 32784
window command "$caption" 32783
wait_serving
sleep 1
check "Stop and Start leave it as it is" 127.0.0.1 "$(name_server)"
check "and tell Windows of no change" "" "$(ipconfig_calls)"

# ---- A silent uninstall while it runs ----
uninstall_silently
check "the running program was asked to exit" ended "$(wait_ended "$program")"
check_program_removed "uninstalled while running"
check "a silent uninstall keeps the cache" "$learned" "$(cached_entry)"
check "a silent uninstall keeps the settings" yes "$(exists "$install_dir/Quillforth.ini")"

# ---- Installed into and upgraded in a folder of another name, killed during its takeover ----
# ---- of servers the user set since, then uninstalled by an administrator whose profile  ----
# ---- holds nothing of the program's                                                     ----
set_adapter 198.18.9.4
install_dir="$prefix/drive_c/Programme Zoë/Quillforth"
# The setup takes the rest of its command line after /D= as the folder, which must not be quoted:
# Wine would quote a single argument with a space in it.
check "the program installs silently again, into a folder of its user's language" 0 \
    "$(run_setup "$setup" /S '/D=C:\Programme' 'Zoë\Quillforth')"
check "the program is in that folder" yes "$(exists "$install_dir/Quillforth.exe")"
check "an upgrade finds it there" "0 no" \
    "$(run_setup "$setup" /S) $(exists "$prefix/drive_c/Program Files/Quillforth/Quillforth.exe")"
cp "$prefix/drive_c/Program Files/Quillforth/Quillforth.ini" "$install_dir/"
start_installed
check_soon 5 "it stops the DNS Client service again" STOPPED dns_client_state
kill_program
check "the killed program left the adapter at the proxy" 127.0.0.1 "$(name_server)"
check "the killed program left the DNS Client service stopped" STOPPED "$(dns_client_state)"
in_srv "$wine" reg delete 'HKCU\Software\Veltmark' /f >/dev/null 2>&1
: >"$ipconfig_log"
register_task Quillforth
register_task "$own"
uninstall_silently
check_program_removed "uninstalled after a kill"
check "the uninstaller told Windows" /registerdns,/flushdns "$(ipconfig_calls)"
install_dir="$prefix/drive_c/Program Files/Quillforth"

# ---- The pages, clicked through ----
# Setup: welcome, folder, then the finish page, whose "Start Quillforth now" is ticked: the program
# starts with the settings kept above, which name the fake upstream.
in_srv "$wine" "$setup" >>"$work/setup.log" 2>&1 </dev/null &
wait_until 20 wizard visible "$setup_caption"
next_page "$setup_caption" setup-welcome
next_page "$setup_caption" setup-folder
wait_until 30 button_reads "$setup_caption" "&Finish"
check "the installer ends on its finish page" "&Finish" "$(wizard text "$setup_caption" 1)"
next_page "$setup_caption" setup-finish
wait_serving
check "finishing the installer starts the program, which answers from its kept cache" 2 "$(serves)"

# Uninstall: confirm, then the question whether to keep the cache and settings, answered No;
# the log of what it did stays on show.
in_srv "$wine" "$install_dir/Uninstall.exe" >>"$work/setup.log" 2>&1 </dev/null &
wait_until 20 wizard visible "$uninstall_caption"
next_page "$uninstall_caption" uninstall-confirm
wait_until 30 box_shows "$uninstall_caption"
check "the uninstaller asks whether to keep the cache and settings" \
    "Keep Quillforth's DNS cache (DnsItem.csv) and its settings for a later installation?" \
    "$(window text "$uninstall_caption" 65535)"
window command "$uninstall_caption" 7 # IDNO
# The page's button reads "&Close" from the start, greyed while the uninstaller works: its last
# step, the Add/Remove Programs entry, says it is done.
wait_until 30 uninstall_entry_gone
wait_until 30 button_reads "$uninstall_caption" "&Close"
next_page "$uninstall_caption" uninstall-done
wait_until 10 uninstaller_ended
check_program_removed "uninstalled through its pages"
check "told not to keep them, it removes the cache" no "$(exists "$install_dir/DnsItem.csv")"
check "and the settings" no "$(exists "$install_dir/Quillforth.ini")"
check "and the per-user profile" 1 \
    "$(has_key 'HKCU\Software\Veltmark\Quillforth'; echo $?)"
check "and the program's folder" no "$(exists "$install_dir")"

echo "took $((SECONDS - started)) s"
e2e_finish
