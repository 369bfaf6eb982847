#!/bin/bash
# Runs inside the system guest, started by sysguest-agent.service: reads the
# host's commands, one a line in base64, from a virtio port, runs each with
# bash and answers with its output (standard output and error) and a line
# "@@rc STATUS". A command that leaves something running in the background
# must send that one's output elsewhere.
port=/dev/virtio-ports/sysguest.agent
until [ -e "$port" ]; do
    sleep 0.2
done
exec 3<>"$port"
while IFS= read -r line <&3; do
    bash -c "$(base64 -d <<<"$line")" </dev/null >&3 2>&1
    echo "@@rc $?" >&3
done
