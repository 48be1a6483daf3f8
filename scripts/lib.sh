# Shared by the scripts: installs, with apt-get, only what this machine lacks.

# need ITEM...: ITEM is a Debian package, or PACKAGE:COMMAND when having the
# command is enough (a tool may come from elsewhere than Debian's package).
need() {
  local item pkg cmd missing=()
  for item in "$@"; do
    pkg=${item%%:*}
    cmd=${item#*:}
    if [ "$cmd" != "$item" ]; then
      command -v "$cmd" >/dev/null 2>&1 && continue
    elif dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
      continue
    fi
    missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# True where the end-to-end runs can have private pid, mount and network
# namespaces (root on a kernel that allows them).
namespaces_permitted() {
  unshare --pid --fork --mount-proc --mount --net true >/dev/null 2>&1
}

# Installs the npm packages that package-lock.json pins (the charting library
# that reports inline, and the browser driver of the tests) into
# node_modules, unless that lock's packages are there already.
npm_packages() {
  need nodejs:node npm:npm
  local stamp=node_modules/.perfprobe-installed-lock
  if [ -f "$stamp" ] && cmp -s package-lock.json "$stamp"; then
    return 0
  fi
  echo "Installing the npm packages of package-lock.json"
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json "$stamp"
}
