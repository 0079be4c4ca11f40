#!/usr/bin/env bash
# Runs a command in a private network namespace that has loopback and a veth
# pair (10.77.0.1 on v0, 10.77.0.2 on v1), so WebRTC finds addresses to use and
# nothing the tests send can leave the machine. Needs root; otherwise, or when
# namespaces are unavailable, the command runs as it is and the tests that
# need the namespace skip.
set -euo pipefail
if [ "$(id -u)" -ne 0 ] || [ -n "${OV_NETNS:-}" ]; then
  exec "$@"
fi
if ! unshare -n true 2>/dev/null; then
  echo "isolated.sh: cannot create a network namespace; running without it" >&2
  exec "$@"
fi
exec unshare -n bash -c '
  set -e
  ip link set lo up
  ip link add v0 type veth peer name v1
  ip addr add 10.77.0.1/24 dev v0
  ip addr add 10.77.0.2/24 dev v1
  ip link set v0 up
  ip link set v1 up
  export OV_NETNS=1
  exec "$@"' isolated "$@"
