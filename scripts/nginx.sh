# Debian's nginx in the foreground with server/nginx/veq.conf.in, in a scratch folder; sourced by scripts/bench
# and the operator tests. VEQ_NGINX_WORKERS sets worker_processes (default 1); VEQ_CDN_RANGES lists the address
# ranges of a CDN in front, whose X-Forwarded-For names the player (default: none).
nginx_pid=

# nginx_start SCRATCH LISTEN CERT KEY RELEASE [UPSTREAM]: 0 once nginx serves, with nginx_pid set; 1 when it exited
# (SCRATCH/error.log says why, e.g. the port is taken). Without UPSTREAM (veq-serve's address) uploads answer 502.
nginx_start() {
    local s=$1 ranges= range
    mkdir -p "$s"
    for range in ${VEQ_CDN_RANGES:-}; do ranges+="set_real_ip_from $range; "; done
    sed -e "s|@LISTEN@|$2|g; s|@CERT@|$3|g; s|@KEY@|$4|g; s|@RELEASE@|$5|g; s|@UPSTREAM@|${6:-127.0.0.1:9}|g" \
        -e "s|@CDN_RANGES@|$ranges|g" \
        "$(dirname "${BASH_SOURCE[0]}")/../server/nginx/veq.conf.in" >"$s/veq.conf"
    cat >"$s/nginx.conf" <<CONF
daemon off; worker_processes ${VEQ_NGINX_WORKERS:-1}; pid $s/nginx.pid; error_log $s/error.log info;
events { worker_connections 1024; }
http { access_log $s/access.log; include $s/veq.conf; client_body_temp_path $s/client-body; proxy_temp_path $s/proxy;
       fastcgi_temp_path $s/fastcgi; uwsgi_temp_path $s/uwsgi; scgi_temp_path $s/scgi; }
CONF
    : >"$s/error.log"
    /usr/sbin/nginx -p "$s" -c "$s/nginx.conf" -e "$s/error.log" >>"$s/error.log" 2>&1 &
    nginx_pid=$!
    for _ in $(seq 100); do
        grep -q "start worker process" "$s/error.log" && return 0
        kill -0 "$nginx_pid" 2>/dev/null || { wait "$nginx_pid" || true; nginx_pid=; return 1; }
        sleep 0.1
    done
    nginx_stop
    return 1
}

nginx_stop() {  # graceful, so that the requests in progress finish; ends nginx_pid only
    [ -n "$nginx_pid" ] || return 0
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null && sleep 0.1 || break; done
    kill -KILL "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
}
