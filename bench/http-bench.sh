#!/usr/bin/env bash
# The service's HTTP figures beside references on the same machine, all on 127.0.0.1:
#   nginx answering a constant JSON body, and the service's reservations on SQLite;
#   nginx serving a 227 KB picture as a static file, and the service serving the same picture;
#   the service's reservations on a throw-away PostgreSQL cluster, and pgbench inserting one row
#   per transaction into the same database.
# wrk and pgbench use the same threads, connections and duration. Prints figures; checks nothing.
#   bench/http-bench.sh [--threads N] [--connections N] [--seconds S]   (BUILD_DIR picks the build)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
source "$(dirname "$0")/cluster.sh"
server=$build/server/brightloom-server
threads=2
connections=64
seconds=10

usage() {
    echo "usage: $0 [--threads N] [--connections N] [--seconds S]   (defaults 2, 64, 10)" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in -h | --help) usage ;; esac
    [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
    case $1 in
    --threads) threads=$2 ;;
    --connections) connections=$2 ;;
    --seconds) seconds=$2 ;;
    *) usage ;;
    esac
    shift 2
done
# wrk refuses fewer connections than threads, pgbench fewer clients than threads.
[ "$connections" -ge "$threads" ] || {
    echo "--connections must be at least --threads" >&2
    exit 2
}

[ -x "$server" ] || {
    echo "build brightloom-server first: cmake --build $build --target brightloom-server (BUILD_DIR=$build)" >&2
    exit 1
}
for tool in wrk curl python3 /usr/sbin/nginx "$pgbin/pgbench" "$pgbin/initdb"; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing: scripts/setup-deps.sh installs it" >&2
        exit 1
    }
done

work=$(mktemp -d /tmp/bl-http-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    stop_cluster
    rm -rf "$work"
}
trap cleanup EXIT
# The EXIT trap runs on these too, so an interrupted run leaves no server behind.
trap 'exit 130' INT
trap 'exit 143' TERM

# Every limit so high that no request of the run is refused: the limiter takes no 0 for "none".
lifted=1000000000,1000000000,1000000000,1000000000
start_service() { # PORT NAME [options...]
    local port=$1 name=$2
    shift 2
    "$server" --quiet --listen "127.0.0.1:$port" --data "$work/$name" --connections-per-address 0 \
        --rate-limits "$lifted" --upload-limits 1000000000,1000000000 "$@" 2>"$work/$name.log" &
    pids+=($!)
    wait_for "$port" "$work/$name.log"
}

# One wrk measurement; its report goes to $work/NAME.wrk.
measure() { # NAME URL [wrk options...]
    local name=$1 url=$2
    shift 2
    wrk --threads "$threads" --connections "$connections" --duration "${seconds}s" --latency "$@" "$url" \
        >"$work/$name.wrk"
}
field() { # NAME requests|p50|p99|errors
    awk -v want="$2" '
        /^Requests\/sec:/ && want == "requests" { print $2 }
        $1 == "50%" && want == "p50" { print $2 }
        $1 == "99%" && want == "p99" { print $2 }
        /Non-2xx or 3xx responses:/ && want == "errors" { printf " non-2xx: %s;", $NF }
        /Socket errors:/ && want == "errors" { sub(/^ */, ""); printf " %s;", $0 }
    ' "$work/$1.wrk"
}
ratio() { # A B
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "n/a" }'
}
line() { # LABEL REQUESTS P50 P99 [NOTE]
    printf '%-46s %10s/s  p50 %9s  p99 %9s%s\n' "$1" "$2" "$3" "$4" "${5:-}"
}
report() { # NAME LABEL [NOTE]
    line "$2" "$(field "$1" requests)" "$(field "$1" p50)" "$(field "$1" p99)" "${3:-}$(field "$1" errors)"
}

# A picture of random pixels, which deflate cannot shrink: 279x278 RGB is about 227 KB.
python3 - "$work/picture.png" <<'PY'
import os, struct, sys, zlib
width, height = 279, 278
rows = b"".join(b"\0" + os.urandom(width * 3) for _ in range(height))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
with open(sys.argv[1], "wb") as out:
    out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
              + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
PY

cat >"$work/reserve.lua" <<'LUA'
wrk.method = "POST"
wrk.body = ""
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA

[ "$(id -u)" = 0 ] && chown postgres: "$work"
mkdir -p "$work/static"
sqlite_port=$(free_port)
start_service "$sqlite_port" sqlite-node

# The upload form of the desktop client: the reservation's secret as "code", the file as "upload-file".
reply=$(curl -sS --data "" -H 'Content-Type: application/x-www-form-urlencoded' \
    "http://127.0.0.1:$sqlite_port/api/reserve_code")
secret=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["code"])' "$reply")
reply=$(curl -sS -F "code=$secret" -F "upload-file=@$work/picture.png;type=image/png;filename=bench.png" \
    "http://127.0.0.1:$sqlite_port/api/upload.php")
code=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1]).get("url", "").rsplit("/", 1)[-1])' "$reply")
[ -n "$code" ] || {
    echo "the upload of the picture failed: $reply" >&2
    exit 1
}
cp "$work/picture.png" "$work/static/$code.png"

json_port=$(free_port)
static_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
$(nginx_head auto)
    sendfile on;
    # Every wrk connection stays open for the whole measurement.
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$json_port;
        default_type application/json;
        location / { return 200 '{"status":"ok"}'; }
    }
    server {
        listen 127.0.0.1:$static_port;
        root $work/static;
        types { image/png png; }
    }
}
CONF
/usr/sbin/nginx -p "$work" -e "$work/nginx-error.log" -c "$work/nginx.conf" &
pids+=($!)
wait_for "$json_port" "$work/nginx-error.log"
wait_for "$static_port" "$work/nginx-error.log"

echo "http-bench: $threads threads, $connections connections, $seconds s per measurement, all on 127.0.0.1"
measure nginx-json "http://127.0.0.1:$json_port/"
report nginx-json "nginx: constant JSON, keep-alive"
measure sqlite-reserve "http://127.0.0.1:$sqlite_port/api/reserve_code" --script "$work/reserve.lua"
report sqlite-reserve "service, SQLite: POST /api/reserve_code" \
    "  $(ratio "$(field sqlite-reserve requests)" "$(field nginx-json requests)") x nginx JSON"

size=$(($(stat -c %s "$work/picture.png") / 1024))
measure nginx-picture "http://127.0.0.1:$static_port/$code.png"
report nginx-picture "nginx: GET $size KB PNG, static file"
measure sqlite-picture "http://127.0.0.1:$sqlite_port/$code.png"
report sqlite-picture "service, SQLite: GET $size KB PNG" \
    "  $(ratio "$(field sqlite-picture requests)" "$(field nginx-picture requests)") x nginx static"

# Room for the benchmark's clients, the service's pool and psql at once.
start_cluster $((connections + 50))
database="postgresql://brightloom@127.0.0.1:$pg_port/bench"
pg_node_port=$(free_port)
start_service "$pg_node_port" pg-node --database "$database" --public-url "http://127.0.0.1:$pg_node_port"

measure pg-reserve "http://127.0.0.1:$pg_node_port/api/reserve_code" --script "$work/reserve.lua"
report pg-reserve "service, PostgreSQL: POST /api/reserve_code"

# A table of its own, so that the service's rows and indexes do not weigh on the inserts.
"$pgbin/psql" -q -h 127.0.0.1 -p "$pg_port" -U brightloom -d bench \
    -c 'CREATE TABLE bench_rows (id bigserial PRIMARY KEY, note text NOT NULL)'
echo 'INSERT INTO bench_rows (note) VALUES (md5(random()::text));' >"$work/insert.sql"
"$pgbin/pgbench" -h 127.0.0.1 -p "$pg_port" -U brightloom -n -f "$work/insert.sql" -c "$connections" \
    -j "$threads" -T "$seconds" -l --log-prefix "$work/pgbench-log" bench >"$work/pgbench.txt" 2>&1
# The per-transaction log's third column is the latency in microseconds.
read -r pg_p50 pg_p99 < <(cat "$work"/pgbench-log.* | awk '{ print $3 }' | sort -n | awk '
    { latency[NR] = $1 }
    END {
        p50 = latency[int((NR - 1) * 0.50) + 1]; p99 = latency[int((NR - 1) * 0.99) + 1]
        printf "%.2fms %.2fms\n", p50 / 1000, p99 / 1000
    }')
pg_tps=$(awk '/^tps = / { printf "%.2f", $3 }' "$work/pgbench.txt")
line "pgbench: one single-row INSERT per transaction" "$pg_tps" "$pg_p50" "$pg_p99"
echo "service on PostgreSQL / pgbench: $(ratio "$(field pg-reserve requests)" "$pg_tps")"
