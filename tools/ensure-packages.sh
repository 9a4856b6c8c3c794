#!/bin/sh
# Installs the Debian packages named as arguments that are missing. As root
# it runs apt-get; otherwise it prints the one command to run and fails.
missing=""
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "Installing missing Debian packages:$missing"
    # A package's service (openssh-server's sshd) must not start on the
    # machine: the tests start their own, in namespaces of their own.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing; then
        apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
    fi
else
    echo "Missing Debian packages:$missing" >&2
    echo "Install them with:  sudo apt-get install -y$missing" >&2
    exit 1
fi
