# Sourced by the scripts: PYTHON names a Python 3.13 interpreter, installed from Debian's
# packages when the machine has none.
find_python() {
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
        command -v python3.13; return
    fi
    local candidate
    for candidate in /root/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    return 1
}

if ! PYTHON=$(find_python); then
    apt-get update -qq && apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    PYTHON=$(find_python)
fi
