# shellcheck shell=bash
# Shared by the load scripts under bench/ (sourced, never run): starting and stopping
# vortane-serve and Apache httpd, choosing ports, reading a process's memory. Each script
# that sources it sets `set -euo pipefail` and calls cleanup_servers from its EXIT trap.

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
repo_dir=$(dirname "$bench_dir")
build_dir=${VORTANE_BUILD_DIR:-$repo_dir/build}
serve_bin=$build_dir/vortane-serve
apache_bin=${APACHE_BIN:-/usr/sbin/apache2}
apache_modules=${APACHE_MODULES:-/usr/lib/apache2/modules}

started_pids=()
# A signal ends the script through its EXIT trap, which stops the servers it started.
trap 'exit 1' HUP INT PIPE TERM

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# Stops every server this script started and is still running. From the EXIT trap, so a
# failing script never leaves a server behind.
cleanup_servers() {
  local pid
  for pid in "${started_pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  started_pids=()
}

# A loopback port nobody listens on, below the kernel's ephemeral range (32768 and up) so
# that no client socket, wrk's included, takes it between the choice and the bind.
free_port() {
  local port _
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  fail "no free port found"
}

# Resident memory of a process in KiB, from the VmRSS line of /proc/PID/status.
rss_kib() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# start_serve LOG SITE_COUNT CPU ARGS...
# Starts vortane-serve with ARGS in the background (pinned to CPU unless it is ""), waits
# until it reports every site listening, and sets serve_pid and serve_ports (one port per
# --site, in order). ARGS may give port 0: the ports read back are the ones it bound.
# shellcheck disable=SC2034  # serve_pid and serve_ports are for the caller
start_serve() {
  local log=$1 sites=$2 cpu=$3
  shift 3
  local pin=()
  [ -n "$cpu" ] && pin=(taskset -c "$cpu")
  "${pin[@]}" "$serve_bin" "$@" >"$log" 2>&1 &
  serve_pid=$!
  started_pids+=("$serve_pid")
  local _
  # Up to 30 s: on a machine busy with other work, starting can take several seconds.
  for _ in $(seq 1 300); do
    if [ "$(grep -c 'listening on' "$log")" -ge "$sites" ]; then break; fi
    kill -0 "$serve_pid" 2>/dev/null || { cat "$log" >&2; fail "vortane-serve did not start"; }
    sleep 0.1
  done
  [ "$(grep -c 'listening on' "$log")" -ge "$sites" ] || fail "vortane-serve is not listening"
  mapfile -t serve_ports < <(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\),.*/\1/p' "$log")
}

# Stops vortane-serve with SIGTERM and fails unless it exits 0 within 10 s: a graceful stop
# is among what the load tests check.
stop_serve() {
  local pid=$1 status=0 _
  kill -TERM "$pid"
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "vortane-serve did not stop within 10 s of SIGTERM"
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "vortane-serve exited with status $status"
}

# write_apache_conf DIR PORT DOCROOT THREADS RULES [ACCESS_LOG [INDEX...]]
# Writes DIR/httpd.conf: one event-MPM process with THREADS workers on 127.0.0.1:PORT,
# serving DOCROOT. RULES is a file of rewrite and header rules to include, "none" for
# mod_rewrite switched on with no rules, or "off" for a server without mod_rewrite and
# mod_headers. ACCESS_LOG, when not empty, is a file for a combined-format access log.
# Without INDEX names a folder is served by its index.html and .htaccess files are not read;
# with them a folder is served by the first INDEX that it holds, and each folder's
# .htaccess is read (AllowOverride All), as a site of a PHP application has it: a .php file
# is served as it is, but takes a path after its name (/index.php/more) as PHP would.
write_apache_conf() {
  local dir=$1 port=$2 docroot=$3 threads=$4 rules=$5 access_log=${6:-}
  local indexes=("${@:7}")
  local override=None php_files=
  if [ "${#indexes[@]}" -gt 0 ]; then
    override=All
    php_files=$'<Files "*.php">\n  AcceptPathInfo On\n</Files>'
  fi
  {
    cat <<EOF
ServerRoot "$dir"
DefaultRuntimeDir "$dir"
PidFile "$dir/httpd.pid"
ErrorLog "$dir/error.log"
LogLevel warn
Listen 127.0.0.1:$port
ServerName example.com
LoadModule mpm_event_module $apache_modules/mod_mpm_event.so
LoadModule authz_core_module $apache_modules/mod_authz_core.so
LoadModule mime_module $apache_modules/mod_mime.so
LoadModule dir_module $apache_modules/mod_dir.so
# The types of the site's files (apache2-bin does not bring /etc/mime.types).
TypesConfig /dev/null
AddType text/html .html
AddType text/css .css
AddType application/xml .xml
AddType image/png .png
AddType text/plain .txt
# One process, so that the worker count matches vortane-serve's --threads.
StartServers 1
ServerLimit 1
ThreadLimit $threads
ThreadsPerChild $threads
MaxRequestWorkers $threads
MinSpareThreads 1
MaxSpareThreads $threads
# vortane-serve closes a keep-alive connection after 100 requests; so does this.
KeepAlive On
MaxKeepAliveRequests 100
KeepAliveTimeout 15
DocumentRoot "$docroot"
<Directory "$docroot">
  Require all granted
  AllowOverride $override
</Directory>
$php_files
DirectoryIndex ${indexes[*]:-index.html}
EOF
    # Apache refuses to run its workers as root.
    if [ "$(id -u)" -eq 0 ]; then printf 'User nobody\nGroup nogroup\n'; fi
    if [ -n "$access_log" ]; then
      # mod_log_config is built into Debian's apache2.
      printf 'LogFormat "%%h %%l %%u %%t \\"%%r\\" %%>s %%b \\"%%{Referer}i\\" \\"%%{User-agent}i\\"" combined\n'
      printf 'CustomLog "%s" combined\n' "$access_log"
    fi
    if [ "$rules" != off ]; then
      printf 'LoadModule rewrite_module %s/mod_rewrite.so\n' "$apache_modules"
      printf 'LoadModule headers_module %s/mod_headers.so\n' "$apache_modules"
      printf 'RewriteEngine On\n'
      if [ "$rules" != none ]; then cat "$rules"; fi
    fi
  } >"$dir/httpd.conf"
}

# start_apache DIR PORT [CPU]: runs the server of DIR/httpd.conf in the foreground (pinned
# to CPU when one is given), in the background of this script; waits until Apache answers
# on PORT and sets apache_pid.
start_apache() {
  local dir=$1 port=$2 cpu=${3:-}
  local pin=()
  [ -n "$cpu" ] && pin=(taskset -c "$cpu")
  "$apache_bin" -t -f "$dir/httpd.conf" >"$dir/configtest.log" 2>&1 ||
    { cat "$dir/configtest.log" >&2; fail "Apache refuses $dir/httpd.conf"; }
  "${pin[@]}" "$apache_bin" -f "$dir/httpd.conf" -DFOREGROUND >"$dir/stdout.log" 2>&1 &
  apache_pid=$!
  started_pids+=("$apache_pid")
  local _
  for _ in $(seq 1 100); do
    # The Server header tells this Apache from anything else that took the port meanwhile.
    if curl -s -o /dev/null -D - "http://127.0.0.1:$port/" | grep -q '^Server: Apache'; then
      kill -0 "$apache_pid" 2>/dev/null && return 0
    fi
    kill -0 "$apache_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/error.log" "$dir/stdout.log" >&2 2>/dev/null || true
  fail "Apache did not start on port $port"
}

stop_apache() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# make_docroot DIR: the site the load scripts serve. index.html is the 1 KiB page every
# benchmark requests; the other files are the targets of the rules' internal rewrites, so
# that a rewrite shows as 200 where the requested address alone would be 404.
make_docroot() {
  local root=$1 line
  mkdir -p "$root"/{m,api/v2,assets,images,app-beta}
  {
    printf '<!DOCTYPE html>\n<html><head><title>Example</title></head><body>\n'
    for line in $(seq 1 12); do
      printf '<p>Line %02d of the page every load test requests, one kilobyte long.</p>\n' "$line"
    done
  } >"$root/index.html"
  # Padded to 1024 bytes with a comment.
  local pad=$((1024 - $(wc -c <"$root/index.html") - 23))
  printf '<!--%*s-->\n</body></html>\n' "$pad" '' >>"$root/index.html"
  printf 'product page\n' >"$root/product.html"
  printf 'search page\n' >"$root/search.html"
  printf 'mobile home\n' >"$root/m/index.html"
  printf '{"orders":[]}\n' >"$root/api/v2/orders"
  printf 'body{}\n' >"$root/assets/app.css"
  printf '<urlset/>\n' >"$root/sitemap-index.xml"
  printf '<rss/>\n' >"$root/feed.rss.xml"
  printf 'placeholder\n' >"$root/images/hotlink.png"
  printf 'User-agent: *\nDisallow: /\n' >"$root/robots-staging.txt"
  printf 'beta\n' >"$root/app-beta/dashboard"
  # Apache's workers run as nobody.
  chmod -R a+rX "$root"
}

# CPU time (user and system, in clock ticks) used so far by PID and its child processes:
# Apache's parent and its worker process, or vortane-serve alone. A process's count holds
# its threads, the ended ones too.
cpu_ticks() {
  local pid=$1 total=0 file line rest
  local -a fields
  for file in /proc/[0-9]*/stat; do
    read -r line <"$file" 2>/dev/null || continue
    rest=${line##*) }  # the fields after the command name, which may hold blanks
    read -ra fields <<<"$rest"
    if [ "${file//[^0-9]/}" = "$pid" ] || [ "${fields[1]}" = "$pid" ]; then
      total=$((total + fields[11] + fields[12]))
    fi
  done
  echo "$total"
}

# The words legacy_redirects names its addresses with.
legacy_words=(shoes boots sandals jackets coats scarves gloves hats belts bags wallets watches
  socks shirts trousers skirts dresses suits ties sweaters hoodies jeans shorts sneakers)

# legacy_redirect N: sets legacy_old and legacy_new, the old address (a path) and the new one
# of the Nth legacy redirect. The shapes of a shop's retired addresses: ASP.NET catalogue
# pages, dated news stories, numbered help pages, ColdFusion categories, store departments.
legacy_redirect() {
  local n=$1 count=${#legacy_words[@]}
  local a=${legacy_words[$((n % count))]} b=${legacy_words[$((n * 7 / count % count))]}
  case $((n % 5)) in
    0) legacy_old=/catalog/item-$n.aspx legacy_new=/products/$a-$b-$n ;;
    1)
      printf -v legacy_old '/news/%d/%02d/story-%d.html' $((2005 + n % 15)) $((1 + n % 12)) "$n"
      legacy_new=/articles/$a-$b-$n
      ;;
    2) legacy_old=/help/faq$n.htm legacy_new=/help/questions/$n ;;
    3) legacy_old=/category.cfm/$a-$n legacy_new=/c/$a/$b-$n ;;
    4) legacy_old=/Store/Departments/$a$n/Default.aspx legacy_new=/shop/$a/$b$n/ ;;
  esac
}

# legacy_redirects COUNT DIALECT: COUNT one-to-one redirects of retired addresses (302, the
# query kept, any case), as vortane rules (DIALECT vortane) or mod_rewrite rules (apache).
# The benchmark's request matches none of them.
legacy_redirects() {
  local count=$1 dialect=$2 n
  printf '\n# --- %d redirects of retired addresses (bench/load/common.sh, legacy_redirects)\n' "$count"
  for ((n = 1; n <= count; n++)); do
    legacy_redirect "$n"
    if [ "$dialect" = vortane ]; then
      printf 'RewriteRule ^%s(\\?.*)?$ %s$1 [I,R]\n' "${legacy_old//./\\.}" "$legacy_new"
    else
      printf 'RewriteRule ^%s$ %s [NC,R=302,L]\n' "${legacy_old//./\\.}" "$legacy_new"
    fi
  done
}

# rule_file RULES DIALECT: the rule file of a configuration with RULES rules: the 20 or 50 of
# bench/load/rules, or for more the 50 followed by RULES - 50 legacy redirects.
rule_file() {
  local rules=$1 dialect=$2 extension=conf
  [ "$dialect" = vortane ] && extension=ini
  if [ "$rules" -le 50 ]; then
    cat "$bench_dir/load/rules/$dialect-$rules.$extension"
  else
    cat "$bench_dir/load/rules/$dialect-50.$extension"
    legacy_redirects $((rules - 50)) "$dialect"
  fi
}
