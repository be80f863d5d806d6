#!/usr/bin/env bash
# The server benchmark against one node and against two nodes behind nginx, both on a
# throw-away PostgreSQL cluster and one shared picture directory, all on 127.0.0.1.
# Arguments go to the benchmark (--seconds S, --clients C). Prints figures; checks nothing.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
source "$(dirname "$0")/cluster.sh"
server=$build/server/brightloom-server
bench=$build/bench/brightloom-server-bench
[ -x "$server" ] && [ -x "$bench" ] || {
    echo "build brightloom-server and brightloom-server-bench first (BUILD_DIR=$build)" >&2
    exit 1
}

work=$(mktemp -d /tmp/bl-nodes-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    stop_cluster
    rm -rf "$work"
}
trap cleanup EXIT


start_cluster 200
database="host=127.0.0.1 port=$pg_port user=brightloom dbname=bench"

node_ports=()
for node in a b; do
    port=$(free_port)
    "$server" --quiet --listen "127.0.0.1:$port" --data "$work/node-$node" --database "$database" \
        --objects "$work/shared" --hash-key "$work/hash.key" --public-url http://shots.example.test \
        --connections-per-address 0 --rate-limits 1000000,10,20,10 --upload-limits 1000000,1000000 --trusted-proxy 127.0.0.1 \
        2>"$work/node-$node.log" &
    pids+=($!)
    wait_for "$port"
    node_ports+=("$port")
done

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
$(nginx_head 2)
    client_max_body_size 21m;
    upstream nodes {
        server 127.0.0.1:${node_ports[0]};
        server 127.0.0.1:${node_ports[1]};
        keepalive 32;
    }
    server {
        listen 127.0.0.1:$nginx_port;
        location / {
            proxy_pass http://nodes;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header X-Forwarded-For \$remote_addr;
            proxy_request_buffering on;
            proxy_next_upstream error timeout;
        }
    }
}
CONF
/usr/sbin/nginx -p "$work" -e "$work/nginx-error.log" -c "$work/nginx.conf" &
pids+=($!)
wait_for "$nginx_port"

echo "== one node on PostgreSQL (127.0.0.1:${node_ports[0]})"
"$bench" --port "${node_ports[0]}" "$@"
echo "== two nodes behind nginx (127.0.0.1:$nginx_port)"
"$bench" --port "$nginx_port" "$@"
