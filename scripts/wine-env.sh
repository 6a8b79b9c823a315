# Sourced by windows.sh and package-check.sh: wine, ready to run our .exe files,
# as "$wine". Its prefix lives in build/wineprefix.
# No Mono or Gecko: the prefix must come up without asking to download anything.
# Wine's builtin wpcap.dll lacks most of libpcap: load ours, beside Tervox.exe.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml=;wpcap=n"
wine="$(command -v wine64 || command -v wine)"
# One wineserver for the whole run, kept for a minute after its last client.
# Left to itself it quits three seconds after the last program ends, and a
# program started in that moment dies with "wine client error: ... Connection
# reset by peer" before it runs: a test failing for wine, not for the tool.
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p60
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
