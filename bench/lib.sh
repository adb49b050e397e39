# Shared by the benchmarks: source it, then call start_nginx. Everything runs
# on loopback; what is started here is stopped by stop_started.
# shellcheck shell=bash

NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
STARTED_PIDS=()

# A TCP port on 127.0.0.1 that is free now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something accepts connections on 127.0.0.1:$1 (at most 5 s).
wait_for_port() {
    python3 - "$1" <<'PY'
import socket, sys, time
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=0.5).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
}

# start_nginx ROOT PREFIX: serves ROOT on a free port, files of its own in
# PREFIX; sets NGINX_PORT.
start_nginx() {
    local root=$1 prefix=$2 user_line=
    mkdir -p "$prefix"
    NGINX_PORT=$(free_port)
    # Started by root, nginx's workers would drop to an account that cannot read the temporary directory.
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    cat >"$prefix/nginx.conf" <<CONF
$user_line
worker_processes 1;
error_log $prefix/error.log warn;
pid $prefix/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $prefix/body;
    proxy_temp_path $prefix/proxy;
    fastcgi_temp_path $prefix/fastcgi;
    uwsgi_temp_path $prefix/uwsgi;
    scgi_temp_path $prefix/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $root;
    }
}
CONF
    "$NGINX" -p "$prefix" -c "$prefix/nginx.conf" -g 'daemon off;' &
    STARTED_PIDS+=($!)
    wait_for_port "$NGINX_PORT"
}

# Remembers a process started in the background, for stop_started.
started() {
    STARTED_PIDS+=("$1")
}

stop_started() {
    local pid
    for pid in "${STARTED_PIDS[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    return 0
}
