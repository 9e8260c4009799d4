# Sourced by the other scripts: installs Debian packages that are missing.
# usage: ensure_packages PACKAGE...
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    # A fresh machine's package lists may be empty: refresh them once.
    if [ -z "${VEERPIX_APT_UPDATED:-}" ]; then
        $sudo apt-get update -qq
        export VEERPIX_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
