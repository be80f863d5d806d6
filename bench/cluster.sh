# Sourced by the service benchmarks: free loopback ports, waiting for a listener, and a
# throw-away PostgreSQL cluster in $work (which the calling script makes and removes).
pgbin=/usr/lib/postgresql/15/bin

# The database server refuses to run as root: as root, it runs as the postgres user.
run_pg() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# wait_for PORT [LOG]: until something listens on 127.0.0.1:PORT; else shows LOG and exits.
wait_for() {
    for _ in $(seq 400); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "nothing listens on port $1${2:+; see $2}" >&2
    [ -n "${2:-}" ] && cat "$2" >&2
    exit 1
}
# start_cluster MAX_CONNECTIONS: a cluster in $work/pg with the database "bench"; sets pg_port.
start_cluster() {
    [ "$(id -u)" = 0 ] && chown postgres: "$work"
    pg_port=$(free_port)
    run_pg "$pgbin/initdb" -D "$work/pg" -A trust -U brightloom -E UTF8 --locale=C --no-sync >/dev/null
    run_pg "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w \
        -o "-p $pg_port -k $work -c listen_addresses=127.0.0.1 -c max_connections=$1" start >/dev/null
    run_pg "$pgbin/createdb" -h 127.0.0.1 -p "$pg_port" -U brightloom bench
}
stop_cluster() {
    [ -f "$work/pg/PG_VERSION" ] && run_pg "$pgbin/pg_ctl" -D "$work/pg" -m immediate -w stop >/dev/null 2>&1 || true
}
# nginx_head WORKERS: the start of a private nginx configuration in $work, up to the inside of
# its http block; the caller writes the rest.
nginx_head() {
    cat <<CONF
$([ "$(id -u)" = 0 ] && echo "user root;")
daemon off;
worker_processes $1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/nginx-body;
    proxy_temp_path $work/nginx-proxy;
    fastcgi_temp_path $work/nginx-fastcgi;
    uwsgi_temp_path $work/nginx-uwsgi;
    scgi_temp_path $work/nginx-scgi;
CONF
}
