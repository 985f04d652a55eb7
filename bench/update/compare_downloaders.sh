#!/usr/bin/env bash
# Times tmbl-fetch against curl and aria2c on one file served by nginx on 127.0.0.1:
# first unlimited, then with nginx limiting every connection. Prints a Markdown table
# of wall and CPU time (user + system of the downloader process) per run, and checks
# every downloaded file against the original.
#
#   bench/update/compare_downloaders.sh TMBL_FETCH [SIZE_MB] [LIMIT_MB_PER_CONNECTION] [REPETITIONS]
set -euo pipefail

# The peers come from Debian's packages; install the missing ones (not needed by CI).
missing=()
for tool in nginx:nginx-light curl:curl aria2c:aria2; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool##*:}")
done
if ((${#missing[@]})); then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

fetch=${1:?path to tmbl-fetch}
size_mb=${2:-1024}
limit_mb=${3:-20}
repetitions=${4:-3}  # unlimited runs; the limited ones run once
fetch=$(readlink -f "$fetch")

work=$(mktemp -d /tmp/tmbl-bench-XXXXXX)
chmod 755 "$work"  # nginx workers run as another user
nginx_pid=
cleanup() {
    [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p -m 755 "$work/www" "$work/logs" "$work/out"
echo "making a ${size_mb} MiB file ..." >&2
head -c $((size_mb * 1024 * 1024)) /dev/urandom > "$work/www/file.bin"
reference=$(sha256sum < "$work/www/file.bin" | cut -d' ' -f1)
sync

port=$((20000 + RANDOM % 20000))
cat > "$work/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $work/tmp-body;
    proxy_temp_path $work/tmp-proxy;
    fastcgi_temp_path $work/tmp-fastcgi;
    uwsgi_temp_path $work/tmp-uwsgi;
    scgi_temp_path $work/tmp-scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        location /limited/ {
            alias $work/www/;
            limit_rate ${limit_mb}m;
        }
    }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/file.bin" -r 0-0 && break
    sleep 0.1
done

results=()
measure() {  # command... -> "wall cpu identical"
    rm -rf "$work/out" && mkdir -p "$work/out"
    sync  # no write-back of an earlier run may fall into this one
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
    local wall user sys got ok=yes
    read -r wall user sys < <(tail -1 "$work/time.txt")
    got=$(sha256sum < "$work/out/file.bin" 2>/dev/null | cut -d' ' -f1 || true)
    [[ "$got" == "$reference" ]] || ok=NO
    awk -v w="$wall" -v u="$user" -v s="$sys" -v ok="$ok" 'BEGIN { printf "%s %.2f %s\n", w, u + s, ok }'
}
run() {  # label, repetitions, command...: keeps the run with the median wall time
    local label=$1 reps=$2; shift 2
    local lines=() i
    for ((i = 0; i < reps; ++i)); do
        lines+=("$(measure "$@")")
    done
    local chosen wall cpu ok rate all_ok=yes
    for i in "${lines[@]}"; do [[ "$i" == *NO ]] && all_ok=NO; done
    chosen=$(printf '%s\n' "${lines[@]}" | sort -n | sed -n "$(( (reps + 1) / 2 ))p")
    read -r wall cpu ok <<<"$chosen"
    rate=$(awk -v w="$wall" -v m="$size_mb" 'BEGIN { if (w > 0) printf "%.0f", m * 1.048576 / w; else print "-" }')
    results+=("| $label | $wall | $cpu | $rate | $all_ok |")
    echo "$label: ${lines[*]}" >&2
}

# One discarded download to disk first: the first large write after making the file
# pays for the kernel's memory reclaim, whichever downloader happens to run first.
curl -s -o "$work/out/file.bin" "http://127.0.0.1:$port/file.bin"
rm -f "$work/out/file.bin"
for path in / /limited/; do
    url="http://127.0.0.1:$port${path}file.bin"
    if [[ $path == / ]]; then
        tag="unlimited"; reps=$repetitions
    else
        tag="limit ${limit_mb} MB/s per connection"; reps=1
    fi
    run "tmbl-fetch -n 1 ($tag)" $reps "$fetch" -q -n 1 -o "$work/out/file.bin" "$url"
    run "tmbl-fetch -n 5 ($tag)" $reps "$fetch" -q -n 5 -o "$work/out/file.bin" "$url"
    run "curl ($tag)" $reps curl -s -o "$work/out/file.bin" "$url"
    run "aria2c -x5 -s5 ($tag)" $reps aria2c -q -x5 -s5 --min-split-size=1M --allow-overwrite=true \
        -d "$work/out" -o file.bin "$url"
done

echo
echo "File: ${size_mb} MiB over loopback from nginx; CPU = user + system of the downloader;"
echo "unlimited rows: the run with the median wall time of $repetitions."
echo
echo "| run | wall s | CPU s | MB/s | identical |"
echo "|---|---|---|---|---|"
printf '%s\n' "${results[@]}"
