# Sourced by windows.sh and package-check.sh: wine, ready to run our .exe files,
# as "$wine". Its prefix lives in build/wineprefix.
# No Mono or Gecko: the prefix must come up without asking to download anything.
# Wine's builtin wpcap.dll lacks most of libpcap: load ours, beside Tervox.exe.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml=;wpcap=n"
wine="$(command -v wine64 || command -v wine)"
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
