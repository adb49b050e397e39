# Shared by the benchmarks (source it): free loopback ports, waiting for a
# listener, Debian's nginx run in a directory of the caller's with the
# caller's server block, the install driver, and a resident agent with 20
# tools beside it. Needs python3 and nginx.

NGINX_BIN=${NGINX_BIN:-$(command -v nginx || echo /usr/sbin/nginx)}
NGINX_PID=""

# A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 5 s until something accepts connections on 127.0.0.1:PORT.
wait_for_port() {
    local port=$1 tries=50
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || { echo "nothing listens on port $port" >&2; exit 1; }
        sleep 0.1
    done
}

# start_nginx DIR WORKERS SERVER_BLOCK
# Starts nginx in the foreground of a background job, every file it writes in
# DIR, with WORKERS worker processes and SERVER_BLOCK (one or more "server
# { ... }") inside its http block; sets NGINX_PID. The caller waits for its port.
start_nginx() {
    local dir=$1 workers=$2 servers=$3 user=""
    mkdir -p "$dir"
    # Started by root, the workers would drop to an account that cannot read
    # the caller's temporary directory.
    [ "$(id -u)" -eq 0 ] && user="user root;"
    cat >"$dir/nginx.conf" <<CONF
$user
worker_processes $workers;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
$servers
}
CONF
    "$NGINX_BIN" -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" -g 'daemon off;' 2>/dev/null &
    NGINX_PID=$!
}

stop_nginx() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null
        NGINX_PID=""
    fi
    return 0
}

# build_install_driver ROOT BUILD_DIR OUTPUT
# Compiles bench/install_driver.cpp against the build's libTavUpdater.so.
build_install_driver() {
    local root=$1 build=$2 output=$3
    # shellcheck disable=SC2046
    g++ -std=c++17 -O2 -fPIC -o "$output" "$root/bench/install_driver.cpp" \
        -I "$root/Common/PackageLibrary" $(pkg-config --cflags --libs Qt5Core Qt5Gui Qt5Widgets Qt5Network) \
        -L "$build/bin" -lTavUpdater -Wl,-rpath,"$build/bin"
}

# start_agent_with_tools DIR AGENT PORT
# Installs the agent program AGENT as DIR/install/TavAgent/TavAgent with 20
# tool directories beside it, each with its package record in the library's
# format, and home, settings, cache and runtime directories of its own under
# DIR; starts it resident with its bridge on PORT and sets AGENT_PID. The
# caller waits for the port.
start_agent_with_tools() {
    local dir=$1 agent=$2 port=$3 i
    local install=$dir/install
    mkdir -p "$install/TavAgent" "$dir/home" "$dir/config/Tavlo" "$dir/cache" "$dir/runtime"
    chmod 700 "$dir/runtime"
    cp -P "$agent" "$install/TavAgent/TavAgent"
    for i in $(seq 1 20); do
        mkdir -p "$install/Tool$i"
        cat >"$install/Tool$i/Packages.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<packageRecord format="1">
    <target name="tool$i" version="1.$i"/>
    <package name="tool$i" version="1.$i" size="1048576" installDate="2026-03-01" lastUpdateDate="2026-12-07">
        <title>Tool $i</title>
        <file>Tool</file>
    </package>
</packageRecord>
XML
    done
    printf '[General]\nlisten_port=%s\n' "$port" >"$dir/config/Tavlo/TavAgent.ini"
    HOME=$dir/home XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache XDG_RUNTIME_DIR=$dir/runtime \
        QT_QPA_PLATFORM=offscreen "$install/TavAgent/TavAgent" &
    AGENT_PID=$!
}
