#!/usr/bin/env bash
# Runs Kestrel against the simulated camera. With a display the window opens for you; without
# one, Kestrel runs under Xvfb, a session is driven through the real window and a screenshot is
# saved. Installs missing Debian packages and builds first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kestrel kestrel-camsim -j "$(nproc)"

bin=build/default
port=${KESTREL_SIM_PORT:-1600}
"$bin/tools/camsim/kestrel-camsim" --port "$port" --verbose &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true' EXIT

# A throwaway settings location, filled in for the simulator: the user's own settings are
# neither read nor written.
settings=$(mktemp -d)
trap 'kill "$simulator" 2>/dev/null || true; rm -rf "$settings"' EXIT
mkdir -p "$settings/Pellworth"
printf '%s\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Software\Pellworth\Kestrel]' \
    '"Address"="127.0.0.1"' '"User"="admin"' '"Password"="lanterns"' "\"Port\"=\"$port\"" '' \
    >"$settings/Pellworth/Kestrel.reg"
export XDG_CONFIG_HOME=$settings

if [[ -n "${DISPLAY:-}" ]]; then
    echo "Kestrel is starting with the simulated camera's address, port $port, user admin and"
    echo "password lanterns filled in: press Connect, then Start."
    "$bin/app/kestrel"
else
    echo "No display: running Kestrel under Xvfb and driving it."
    xvfb-run -a -s "-screen 0 1024x768x24" bash scripts/drive-window.sh "$bin/app/kestrel"
fi
