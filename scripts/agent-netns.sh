# SPDX-License-Identifier: Apache-2.0
# Sourced inside a private network namespace (the coordinator's side): gives
# the agent a namespace of its own, joined by a veth pair. The agent binds all
# its addresses at its port, so a coordinator cannot share its stack.
# Sets agent_ip, coord_ip and holder (the pid keeping the agent's namespace),
# and in_agent_ns, which runs a command in the agent's namespace.
agent_ip=10.77.0.1
coord_ip=10.77.0.2
ip link set lo up
unshare -n sleep 100000 &
holder=$!
while [ "$(readlink /proc/$holder/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do sleep 0.05; done
in_agent_ns() { nsenter -t "$holder" -n "$@"; }
ip link add kv0 type veth peer name kv1
ip link set kv0 netns "$holder"
in_agent_ns ip link set lo up
in_agent_ns ip addr add $agent_ip/24 dev kv0
in_agent_ns ip link set kv0 up
ip addr add $coord_ip/24 dev kv1
ip link set kv1 up
