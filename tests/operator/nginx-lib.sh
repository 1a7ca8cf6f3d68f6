# Runs Debian's nginx in the foreground with server/nginx/veq.conf.in and a config of its own in a scratch folder;
# sourced by the operator tests and scripts/bench. nginx_start sets nginx_pid; nginx_stop ends that process only.
# VEQ_NGINX_WORKERS sets worker_processes (default 1).

nginx_pid=

# nginx_start SCRATCH LISTEN CERT KEY RELEASE [UPSTREAM]: 0 once nginx answers on LISTEN; 1 when it exited (e.g. the
# port is taken: SCRATCH/error.log says why). Without UPSTREAM (veq-serve's address) uploads answer 502.
nginx_start() {
    local scratch=$1 listen=$2 cert=$3 key=$4 release=$5 upstream=${6:-127.0.0.1:9} i
    mkdir -p "$scratch"
    sed -e "s|@LISTEN@|$listen|g" -e "s|@CERT@|$cert|g" -e "s|@KEY@|$key|g" -e "s|@RELEASE@|$release|g" \
        -e "s|@UPSTREAM@|$upstream|g" "$(dirname "${BASH_SOURCE[0]}")/../../server/nginx/veq.conf.in" >"$scratch/veq.conf"
    cat >"$scratch/nginx.conf" <<CONF
daemon off;
worker_processes ${VEQ_NGINX_WORKERS:-1};
pid $scratch/nginx.pid;
error_log $scratch/error.log info;
events { worker_connections 1024; }
http {
    access_log $scratch/access.log;
    client_body_temp_path $scratch/client-body;
    proxy_temp_path $scratch/proxy;
    fastcgi_temp_path $scratch/fastcgi;
    uwsgi_temp_path $scratch/uwsgi;
    scgi_temp_path $scratch/scgi;
    include $scratch/veq.conf;
}
CONF
    : >"$scratch/error.log"
    /usr/sbin/nginx -p "$scratch" -c "$scratch/nginx.conf" -e "$scratch/error.log" >>"$scratch/error.log" 2>&1 &
    nginx_pid=$!
    for i in $(seq 100); do
        if ! kill -0 "$nginx_pid" 2>/dev/null; then
            wait "$nginx_pid" 2>/dev/null || true
            nginx_pid=
            return 1
        fi
        grep -q "start worker process" "$scratch/error.log" 2>/dev/null && return 0
        sleep 0.1
    done
    nginx_stop
    return 1
}

nginx_stop() {
    [ -n "$nginx_pid" ] || return 0
    kill -QUIT "$nginx_pid" 2>/dev/null || true   # graceful: finishes the requests in progress
    local i
    for i in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
}
