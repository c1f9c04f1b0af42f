#!/usr/bin/env bash
# Brings the local OpenStack cloud up on 127.0.0.1: installs Debian's
# packages, writes every configuration into $KVN_CLOUD_DIR (default
# /tmp/kvn-cloud), creates the databases, registers Keystone's projects,
# users, services and endpoints, starts each service in its own process group
# with a PID file, waits until each answers, seeds flavors, images, networks
# and a key pair, and writes admin-openrc, demo-openrc, alt_demo-openrc and
# clouds.yaml into the cloud folder.
#
# Every service also answers behind an nginx front on https://127.0.0.1:8443
# under a path prefix (/identity, /compute/v2.1, /image, ...), registered as
# region RegionTLS, with its own openrc files (*-tls-openrc) and clouds
# (kvn-*-tls); the CA that signed the front's certificate is tls/ca.pem.
#
# Idempotent: with the cloud running it only checks; a stopped or dead service
# is started again. A service that does not come up fails the script with its
# name and the tail of its log.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
. "$HERE/extras.sh"

[ "$(id -u)" -eq 0 ] || die "run as root (apt-get, and the services' state under $D)"
T0=$(date +%s)

# ---------------------------------------------------------------- packages
# Only the library packages: the service packages (keystone, nova-api, ...)
# bring debconf questions, init scripts and, for nova-compute, libvirt.
PACKAGES=(
  python3-keystone python3-glance python3-placement python3-nova
  python3-neutron python3-cinder python3-swift
  python3-openstackclient python3-openstacksdk python3-osc-placement
  uwsgi-core uwsgi-plugin-python3 rabbitmq-server memcached sqlite3
  curl openssh-client nginx
)
# Their api-paste.ini files ship in these, which are unpacked, never installed.
COMMON_DEBS=(glance-common nova-common neutron-common cinder-common)

install_packages() {
  local missing=() p all=("${PACKAGES[@]}")
  all+=("${EXTRA_PACKAGES[@]}")
  for p in "${all[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  local t=$(date +%s)
  export DEBIAN_FRONTEND=noninteractive
  # Other apt users on the machine hold the lock for a while at times.
  apt-get -o DPkg::Lock::Timeout=600 update -q
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
  log "apt-get took $(( $(date +%s) - t )) s"
}

fetch_paste_files() { # debs...
  local want=() deb tmp
  for deb in "$@"; do [ -f "$D/pkgfiles/.got-$deb" ] || want+=("$deb"); done
  [ ${#want[@]} -eq 0 ] && return 0
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get -o APT::Sandbox::User=root download -q "${want[@]}" >/dev/null)
  mkdir -p "$D/pkgfiles"
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$D/pkgfiles"; done
  rm -rf "$tmp"
  for deb in "${want[@]}"; do touch "$D/pkgfiles/.got-$deb"; done
}

# ---------------------------------------------------------------- helpers
# Writes stdin to a file only when the content differs, so that a second run
# against a running cloud changes nothing.
put() {
  local f=$1 tmp
  mkdir -p "$(dirname "$f")"
  tmp=$(mktemp)
  cat >"$tmp"
  if [ -f "$f" ] && cmp -s "$tmp" "$f"; then rm -f "$tmp"; else mv "$tmp" "$f"; chmod 644 "$f"; fi
}

# A console script for a module's main(): the service packages that would
# ship them are not installed.
wrapper() { # name module [function]
  # Only the long-running services get the one-connection pool: the schema
  # tools open a second connection while holding the first, and so does
  # designate-central when it checks quotas. Both modules change SQLite's
  # dialect only, so services on PostgreSQL are unaffected.
  local pool="import kvn_sqlite_locked, kvn_sqlite_pool  # noqa: F401,E401"
  case $1 in
    *manage | *dbsync | *ring-builder | *upgrade | *-init | *-sync) pool="" ;;
    designate-*) pool="import kvn_sqlite_locked  # noqa: F401" ;;
  esac
  put "$D/bin/$1" <<EOF
#!/usr/bin/python3
import sys
sys.path.insert(0, '$D/bin')
$pool
from $2 import ${3:-main}
sys.exit(${3:-main}())
EOF
  chmod 755 "$D/bin/$1"
}

# The eventlet services run many green threads in one process. With a new
# SQLite connection per session (SQLAlchemy's default for files), a green
# thread that waits for the write lock blocks the whole process inside
# SQLite's busy wait, so the green thread holding the lock never commits and
# the request fails with "database is locked". A pool of one connection per
# process (see pool_opts) makes the green threads queue for it instead.
sqlite_pool_module() {
  put "$D/bin/kvn_sqlite_pool.py" <<'EOF'
from sqlalchemy import pool
from sqlalchemy.dialects.sqlite import pysqlite

_orig = pysqlite.SQLiteDialect_pysqlite.get_pool_class.__func__


def _get_pool_class(cls, url):
    klass = _orig(cls, url)
    return pool.QueuePool if klass is pool.NullPool else klass


pysqlite.SQLiteDialect_pysqlite.get_pool_class = classmethod(_get_pool_class)
EOF
  # SQLite answers "database is locked" at once, without its busy wait, when
  # a transaction that has read wants to write after another process wrote:
  # its snapshot is stale and only a restart helps. That is a deadlock in
  # all but name; reported as one, the services' own deadlock retries run
  # the transaction again instead of failing the request.
  put "$D/bin/kvn_sqlite_locked.py" <<'EOF'
from oslo_db import exception as db_exc
from oslo_db.sqlalchemy import exc_filters
from sqlalchemy import exc as sqla_exc


@exc_filters.filters('sqlite', sqla_exc.OperationalError,
                     r'.*database is locked')
def _locked_is_deadlock(error, match, engine_name, is_disconnect):
    raise db_exc.DBDeadlock(error)
EOF
}

# Cinder's fake driver keeps no data, and copies an image into a volume at
# a device path that does not exist, so a server booted from a new volume
# ends in error. This one keeps such a volume's bytes in a file of its own:
# images go into volumes and volumes into images; everything else stays fake.
cinder_driver_module() {
  put "$D/bin/kvn_cinder_fake.py" <<'EOF'
import os

from cinder.image import image_utils
from cinder.tests import fake_driver
from cinder.volume import volume_utils

_DIR = os.path.join(os.environ.get('KVN_CLOUD_DIR', '/tmp/kvn-cloud'), 'data', 'cinder', 'volumes')


class ImageFakeDriver(fake_driver.FakeLoggingVolumeDriver):
    def _file(self, volume, create=False):
        os.makedirs(_DIR, exist_ok=True)
        path = os.path.join(_DIR, 'volume-%s' % volume['id'])
        if create and not os.path.exists(path):
            with open(path, 'wb') as f:
                f.truncate(int(volume['size']) * 1024 ** 3)
        return path

    def copy_image_to_volume(self, context, volume, image_service, image_id):
        image_utils.fetch_to_raw(context, image_service, image_id, self._file(volume),
                                 self.configuration.volume_dd_blocksize, size=volume['size'])

    def copy_volume_to_image(self, context, volume, image_service, image_meta):
        volume_utils.upload_volume(context, image_service, image_meta,
                                   self._file(volume, create=True), volume)

    def delete_volume(self, volume):
        try:
            os.unlink(self._file(volume))
        except FileNotFoundError:
            pass
EOF
}

# The pool settings that go with it, in each [database]-like section.
# Nova and Neutron get more than one connection. Neutron opens a second
# session while the first is still open (it reads a security group's rules
# through an admin context inside the group's own read): with a single
# connection that request waits a full pool timeout on itself and answers
# 500. Nova's API timed out the same way under a burst of reads. In WAL
# mode their readers never wait for a writer.
pool_opts() { # [size]
  cat <<EOF
max_pool_size = ${1:-1}
max_overflow = 0
pool_timeout = 60
EOF
}

fail() { # name why
  local name=$1
  {
    echo "cloud: service $name failed to start: $2"
    for f in "$LOG/$name.log" "$LOG/$name.out"; do
      [ -s "$f" ] || continue
      echo "---- tail of $f"
      tail -n 40 "$f"
    done
  } >&2
  exit 1
}

# The environment every service sees: nothing of the caller's (no OS_*, no
# pyenv), Debian's python first.
svc_env() {
  echo HOME="$D/home" PATH="$CLEAN_PATH" LANG=C.UTF-8 KVN_CLOUD_DIR="$D"
}

# Starts a service unless its recorded process still runs. setsid makes the
# process the leader of its own group (a background job of a script is never
# a group leader, so setsid does not fork and $! is the leader's pid).
start_service() { # name [VAR=value...] -- command...
  local name=$1; shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  if is_running "$name"; then return 0; fi
  # shellcheck disable=SC2046
  env -i $(svc_env) "${envs[@]}" setsid "$@" >>"$LOG/$name.out" 2>&1 </dev/null &
  local pid=$!
  local start
  start=$(proc_start_time "$pid") || fail "$name" "exited at once"
  echo "$pid $start" >"$RUN/$name.pid"
  log "started $name (pid $pid)"
}

check_alive() { is_running "$1" || fail "$1" "the process exited"; }

# Waits until a URL answers with any HTTP status below 500 (a bare API root
# answers 300 or 401, which is enough to know the server is up).
wait_http() { # name url [timeout]
  local name=$1 url=$2 limit=${3:-180} i code
  for ((i = 0; i < limit * 2; i++)); do
    code=$(curl -s -o /dev/null -m 5 -w '%{http_code}' "$url" || true)
    if [ "${code:-000}" != 000 ] && [ "$code" -lt 500 ]; then return 0; fi
    check_alive "$name"
    sleep 0.5
  done
  fail "$name" "no answer from $url within ${limit} s"
}

wait_port() { # name port [timeout]
  local name=$1 port=$2 limit=${3:-120} i
  for ((i = 0; i < limit * 2; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    check_alive "$name"
    sleep 0.5
  done
  fail "$name" "port $port not open within ${limit} s"
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pyhelper() { env -i $(svc_env) "$PY" "$D/bin/kvn_cloud.py" "$@"; }

# The readiness polls run every few seconds for a minute or more, while the
# machine is busiest loading services: a Python client per poll cost a second
# or two of CPU and a password login each, so they ask the APIs with curl and
# one admin token taken once.
ADMIN_TOKEN=
ADMIN_PROJECT=
admin_token() {
  [ -n "$ADMIN_TOKEN" ] && return 0
  local out
  out=$(pyhelper admin-token 2>/dev/null) || return 1
  read -r ADMIN_TOKEN ADMIN_PROJECT <<<"$out"
  [ -n "$ADMIN_TOKEN" ] && [ -n "$ADMIN_PROJECT" ]
}
api_has() { # url extended-regex: the answer is a success and matches
  local body
  body=$(curl -sf -m 20 -H "X-Auth-Token: $ADMIN_TOKEN" "$1" 2>/dev/null) || return 1
  grep -Eq "$2" <<<"$body"
}
agent_alive() { api_has "http://127.0.0.1:9696/v2.0/agents?host=$HOST_NAME" '"alive": ?true'; }
compute_ready() {
  api_has 'http://127.0.0.1:8774/v2.1/os-services?binary=nova-compute' '"state": ?"up"' &&
    api_has 'http://127.0.0.1:8774/v2.1/os-hypervisors' '"hypervisors": ?\[ ?\{'
}
pools_ready() { # cinder|manila
  local url=http://127.0.0.1:8776/v3/$ADMIN_PROJECT/scheduler-stats/get_pools
  [ "$1" = manila ] && url=http://127.0.0.1:8786/v2/$ADMIN_PROJECT/scheduler-stats/pools
  api_has "$url" '"pools": ?\[ ?\{'
}

# Runs a set-up step once; its marker file records that it finished.
once() { # marker command...
  local marker=$D/state/$1; shift
  [ -f "$marker" ] && return 0
  "$@" || return 1
  touch "$marker"
}

# Creates an SQLite file in WAL mode, so several processes of a service can
# write without "database is locked".
wal_db() { [ -f "$1" ] || { mkdir -p "$(dirname "$1")"; sqlite3 "$1" 'PRAGMA journal_mode=WAL;' >/dev/null; }; }
# The busy timeout of 30 s outlasts neutron-server's start-up writes.
db_url() { echo "sqlite:///$1?timeout=30"; }

# ---------------------------------------------------------------- configs
authtoken() { # user
  cat <<EOF
[keystone_authtoken]
www_authenticate_uri = http://127.0.0.1:5000
auth_url = http://127.0.0.1:5000
memcached_servers = 127.0.0.1:11211
auth_type = password
project_domain_name = Default
user_domain_name = Default
project_name = service
username = $1
password = $SERVICE_PASSWORD
region_name = RegionOne
# Lets cinder tell nova's own requests from a user's (detach needs it).
service_token_roles_required = true
EOF
}

service_auth() { # section user
  cat <<EOF
[$1]
auth_url = http://127.0.0.1:5000
auth_type = password
project_domain_name = Default
user_domain_name = Default
project_name = service
username = $2
password = $SERVICE_PASSWORD
region_name = RegionOne
EOF
}

common_default() { # service
  cat <<EOF
debug = ${KVN_CLOUD_DEBUG:-false}
use_stderr = false
log_dir = $LOG
transport_url = $TRANSPORT_URL
host = $HOST_NAME
EOF
}

# A uwsgi HTTP server for a WSGI application; further lines for its ini
# file may follow. uwsgi's http-socket breaks a reused keep-alive
# connection (the client's second request gets a reset), so every answer
# closes it.
uwsgi_ini() { # file port wsgi-file [line...]
  local f=$1 port=$2 app=$3
  shift 3
  {
    cat <<EOF
[uwsgi]
plugins = python3
http-socket = 127.0.0.1:$port
wsgi-file = $app
processes = 1
threads = 1
master = true
die-on-term = true
add-header = Connection: close
buffer-size = 65535
$(uwsgi_locked)
EOF
    [ $# -eq 0 ] || printf '%s\n' "$@"
  } | put "$f"
}

# Keystone's two workers, like the other uwsgi applications, meet SQLite's
# stale-snapshot "database is locked"; reported as a deadlock, the writes
# that keystone retries on one (logins, revocations) run again.
uwsgi_locked() {
  cat <<EOF
pythonpath = $D/bin
import = kvn_sqlite_locked
EOF
}

policy_defaults() {
  cat <<EOF
[oslo_policy]
enforce_new_defaults = false
enforce_scope = false
[oslo_concurrency]
lock_path = $D/data/lock
$(proxy_headers)
EOF
}

# Links a service builds from the request (version documents, next pages,
# resource hrefs) point back through the front: it sends X-Forwarded-Proto,
# -Host and -Prefix, which only a request through it carries, so a direct
# request still gets links to the service's own port.
proxy_headers() {
  cat <<EOF
[oslo_middleware]
enable_proxy_headers_parsing = true
EOF
}

write_configs() {
  local E=$D/etc P=$D/pkgfiles/usr/share

  put "$E/keystone/keystone.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/keystone.log
[database]
connection = $(db_url "$D/data/keystone/keystone.sqlite")
[token]
provider = fernet
expiration = 14400
[fernet_tokens]
key_repository = $D/data/keystone/fernet-keys
[fernet_receipts]
key_repository = $D/data/keystone/fernet-keys
[credential]
key_repository = $D/data/keystone/credential-keys
[cache]
enabled = true
backend = dogpile.cache.memcached
memcache_servers = 127.0.0.1:11211
$(policy_defaults)
EOF

  # uwsgi's http-socket breaks a reused keep-alive connection (the client's
  # second request gets a reset), so every answer closes it.
  put "$E/keystone/uwsgi.ini" <<EOF
[uwsgi]
plugins = python3
http-socket = 127.0.0.1:5000
wsgi-file = /usr/bin/keystone-wsgi-public
processes = 2
threads = 1
master = true
die-on-term = true
lazy-apps = true
add-header = Connection: close
buffer-size = 65535
env = OS_KEYSTONE_CONFIG_DIR=$E/keystone
$(uwsgi_locked)
EOF

  put "$E/placement/placement.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/placement.log
[api]
auth_strategy = keystone
[placement_database]
connection = $(db_url "$D/data/placement/placement.sqlite")
$(authtoken placement)
$(policy_defaults)
EOF
  uwsgi_ini "$E/placement/uwsgi.ini" 8778 /usr/bin/placement-api "env = OS_PLACEMENT_CONFIG_DIR=$E/placement"

  put "$E/glance/glance-api.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
use_stderr = false
log_file = $LOG/glance.log
bind_host = 127.0.0.1
bind_port = 9292
workers = 1
node_staging_uri = file://$D/data/glance/staging
[database]
connection = $(db_url "$D/data/glance/glance.sqlite")
$(pool_opts)
[glance_store]
stores = file
default_store = file
filesystem_store_datadir = $D/data/glance/images
[paste_deploy]
flavor = keystone
config_file = $P/glance-common/glance-api-paste.ini
$(authtoken glance)
$(policy_defaults)
EOF

  put "$E/nova/nova.conf" <<EOF
[DEFAULT]
$(common_default)
my_ip = 127.0.0.1
state_path = $D/data/nova
instances_path = $D/data/nova/instances
compute_driver = fake.FakeDriver
enabled_apis = osapi_compute
osapi_compute_listen = 127.0.0.1
osapi_compute_listen_port = 8774
osapi_compute_workers = 1
# There is no data plane: ports never report "plugged".
vif_plugging_is_fatal = false
vif_plugging_timeout = 0
allow_resize_to_same_host = true
[api]
auth_strategy = keystone
[wsgi]
api_paste_config = $P/nova-common/api-paste.ini
[conductor]
workers = 1
[scheduler]
workers = 1
discover_hosts_in_cells_interval = 10
$(authtoken nova)
# Cinder refuses a detach that nova asks for without a service token.
$(service_auth service_user nova)
send_service_user_token = true
$(service_auth placement nova)
$(service_auth neutron nova)
$(service_auth cinder nova)
os_region_name = RegionOne
[glance]
region_name = RegionOne
[vnc]
enabled = false
[spice]
enabled = false
# The fake driver has no console of its own: the addresses Nova hands out
# point at the cloud's console server (a bash under a pseudo-terminal),
# which stands in for the serial proxy and the guest.
[serial_console]
enabled = true
base_url = ws://127.0.0.1:6083/console
$(policy_defaults)
EOF
  # nova-compute refuses to start when it can read database settings, so
  # they live apart, read by the other nova services and nova-manage only.
  put "$E/nova/nova-db.conf" <<EOF
[database]
connection = $(db_url "$D/data/nova/nova_cell1.sqlite")
$(pool_opts 4)
[api_database]
connection = $(db_url "$D/data/nova/nova_api.sqlite")
$(pool_opts 4)
EOF

  put "$E/neutron/neutron.conf" <<EOF
[DEFAULT]
$(common_default)
bind_host = 127.0.0.1
bind_port = 9696
state_path = $D/data/neutron
api_paste_config = $P/neutron-common/api-paste.ini
core_plugin = ml2
service_plugins = router,qos,trunk
auth_strategy = keystone
allow_overlapping_ips = true
api_workers = 1
rpc_workers = 1
rpc_state_report_workers = 1
dhcp_agent_notification = false
notify_nova_on_port_status_changes = true
notify_nova_on_port_data_changes = true
[database]
connection = $(db_url "$D/data/neutron/neutron.sqlite")
$(pool_opts 4)
$(authtoken neutron)
$(service_auth nova neutron)
[agent]
report_interval = 15
$(policy_defaults)
EOF
  put "$E/neutron/ml2_conf.ini" <<EOF
[ml2]
type_drivers = flat,vxlan
tenant_network_types = vxlan
# Binds ports for the fake agent's host; no other driver needs a data plane.
mechanism_drivers = openvswitch
extension_drivers = port_security,qos
[ml2_type_flat]
flat_networks = public
[ml2_type_vxlan]
vni_ranges = 1:1000
[securitygroup]
enable_security_group = true
firewall_driver = noop
EOF

  put "$E/cinder/cinder.conf" <<EOF
[DEFAULT]
$(common_default)
state_path = $D/data/cinder
api_paste_config = $P/cinder-common/api-paste.ini
osapi_volume_listen = 127.0.0.1
osapi_volume_listen_port = 8776
osapi_volume_workers = 1
auth_strategy = keystone
enabled_backends = fake
glance_api_servers = http://127.0.0.1:9292
# Without its filter list cinder refuses every list filter, name included.
resource_query_filters_file = $D/pkgfiles/etc/cinder/resource_filters.json
[fake]
volume_driver = kvn_cinder_fake.ImageFakeDriver
volume_backend_name = fake
target_helper = fake
[database]
connection = $(db_url "$D/data/cinder/cinder.sqlite")
$(pool_opts)
$(authtoken cinder)
$(service_auth nova cinder)
$(policy_defaults)
EOF

  local S=$E/swift
  put "$S/swift.conf" <<EOF
[swift-hash]
swift_hash_path_suffix = kvn-cloud-suffix
swift_hash_path_prefix = kvn-cloud-prefix
[storage-policy:0]
name = Policy-0
default = yes
EOF
  local kind port
  for kind in account container object; do
    case $kind in account) port=6202 ;; container) port=6201 ;; object) port=6200 ;; esac
    put "$S/$kind-server.conf" <<EOF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $port
workers = 0
user = root
swift_dir = $S
devices = $D/data/swift
mount_check = false
log_name = $kind-server
[pipeline:main]
pipeline = $kind-server
[app:$kind-server]
use = egg:swift#$kind
[$kind-replicator]
[$kind-auditor]
[container-updater]
interval = 5
[object-updater]
[account-reaper]
EOF
  done
  {
    cat <<EOF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = 8080
workers = 0
user = root
swift_dir = $S
log_name = proxy-server
[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats bulk tempurl authtoken keystoneauth copy container-quotas account-quotas slo dlo versioned_writes symlink proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
allow_account_management = true
[filter:authtoken]
paste.filter_factory = keystonemiddleware.auth_token:filter_factory
www_authenticate_uri = http://127.0.0.1:5000
auth_url = http://127.0.0.1:5000
memcached_servers = 127.0.0.1:11211
auth_type = password
project_domain_name = Default
user_domain_name = Default
project_name = service
username = swift
password = $SERVICE_PASSWORD
delay_auth_decision = true
# Swift refuses requests whose headers pass 8 KiB, and the whole catalog of a
# cloud with every extra service is more than that: the proxy never needs it.
include_service_catalog = false
[filter:keystoneauth]
use = egg:swift#keystoneauth
operator_roles = admin, member
reseller_admin_role = ResellerAdmin
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:11211
EOF
    for kind in catch_errors gatekeeper healthcheck proxy-logging listing_formats bulk tempurl copy container-quotas account-quotas slo dlo versioned_writes symlink; do
      printf '[filter:%s]\nuse = egg:swift#%s\n' "$kind" "${kind//-/_}"
    done
  } | put "$S/proxy-server.conf"

  put "$E/rabbitmq/rabbitmq.conf" <<EOF
listeners.tcp.default = 127.0.0.1:5672
loopback_users.guest = true
log.console = false
EOF
  put "$E/rabbitmq/enabled_plugins" <<<'[].'

  put "$D/admin-openrc" <<EOF
# TEST-ONLY credentials of the local cloud (127.0.0.1 only).
export OS_AUTH_URL=http://127.0.0.1:5000/v3
export OS_IDENTITY_API_VERSION=3
export OS_USERNAME=admin
export OS_PASSWORD=$ADMIN_PASSWORD
export OS_PROJECT_NAME=admin
export OS_USER_DOMAIN_NAME=Default
export OS_PROJECT_DOMAIN_NAME=Default
export OS_REGION_NAME=RegionOne
export OS_INTERFACE=public
EOF
  local u
  for u in demo alt_demo; do
    put "$D/$u-openrc" <<EOF
# TEST-ONLY credentials of the local cloud (127.0.0.1 only).
export OS_AUTH_URL=http://127.0.0.1:5000/v3
export OS_IDENTITY_API_VERSION=3
export OS_USERNAME=$u
export OS_PASSWORD=$DEMO_PASSWORD
export OS_PROJECT_NAME=$u
export OS_USER_DOMAIN_NAME=Default
export OS_PROJECT_DOMAIN_NAME=Default
export OS_REGION_NAME=RegionOne
export OS_INTERFACE=public
EOF
  done
  for u in admin demo alt_demo; do
    local pw=$DEMO_PASSWORD
    [ $u = admin ] && pw=$ADMIN_PASSWORD
    put "$D/$u-tls-openrc" <<EOF
# TEST-ONLY credentials of the local cloud, through its TLS front.
export OS_AUTH_URL=$FRONT_URL/identity/v3
export OS_IDENTITY_API_VERSION=3
export OS_USERNAME=$u
export OS_PASSWORD=$pw
export OS_PROJECT_NAME=$u
export OS_USER_DOMAIN_NAME=Default
export OS_PROJECT_DOMAIN_NAME=Default
export OS_REGION_NAME=$FRONT_REGION
export OS_INTERFACE=public
export OS_CACERT=$TLS_DIR/ca.pem
EOF
  done
  {
    echo "# TEST-ONLY credentials of the local cloud (127.0.0.1 only)."
    echo "clouds:"
    for u in admin demo alt_demo; do
      local pw=$DEMO_PASSWORD
      [ $u = admin ] && pw=$ADMIN_PASSWORD
      cat <<EOF
  kvn-${u//_/-}:
    auth:
      auth_url: http://127.0.0.1:5000/v3
      username: $u
      password: $pw
      project_name: $u
      user_domain_name: Default
      project_domain_name: Default
    region_name: RegionOne
    identity_api_version: 3
    interface: public
  kvn-${u//_/-}-tls:
    auth:
      auth_url: $FRONT_URL/identity/v3
      username: $u
      password: $pw
      project_name: $u
      user_domain_name: Default
      project_domain_name: Default
    region_name: $FRONT_REGION
    identity_api_version: 3
    interface: public
    cacert: $TLS_DIR/ca.pem
EOF
    done
  } | put "$D/clouds.yaml"
}

# ---------------------------------------------------------------- TLS front
# nginx in the foreground (daemon off) so that, like every other service,
# its recorded pid leads the process group the stop script ends.
front_cmd() { /usr/sbin/nginx -p "$D/data/nginx/" -e "$LOG/nginx-error.log" -c "$D/etc/nginx/nginx.conf" "$@"; }

# One location per running service, under the prefix its RegionTLS
# endpoints carry (kvn_cloud.py holds the table). FRONT_CHANGED tells
# whether the file changed, so that a running front reloads it.
write_front_config() {
  local locs prefix port loc before after
  locs=$(pyhelper front-locations $EXTRAS) || die "no front locations"
  mkdir -p "$D/data/nginx" "$D/etc/nginx"
  before=$(md5sum "$D/etc/nginx/nginx.conf" 2>/dev/null || true)
  {
    cat <<EOF
# The local cloud's TLS front: every service under a path prefix.
daemon off;
master_process on;
worker_processes 1;
user root;
pid $D/data/nginx/nginx.pid;
error_log $LOG/nginx-error.log warn;
events { worker_connections 512; }
http {
  default_type application/octet-stream;
  client_body_temp_path $D/data/nginx/body;
  proxy_temp_path $D/data/nginx/proxy;
  fastcgi_temp_path $D/data/nginx/fastcgi;
  uwsgi_temp_path $D/data/nginx/uwsgi;
  scgi_temp_path $D/data/nginx/scgi;
  # The services' own request ids, so a failing test finds its lines in
  # both this log and the service's.
  log_format kvn '\$time_iso8601 \$request_id "\$request" \$status \$body_bytes_sent \$request_time '
                 'upstream=\$upstream_addr req=\$upstream_http_x_openstack_request_id '
                 'compute_req=\$upstream_http_x_compute_request_id trans=\$upstream_http_x_trans_id';
  access_log $LOG/nginx-access.log kvn;
  server_tokens off;
  # Uploads and downloads stream through; nothing is spooled to disk.
  client_max_body_size 0;
  proxy_request_buffering off;
  proxy_buffering off;
  proxy_http_version 1.1;
  proxy_read_timeout 600s;
  proxy_send_timeout 600s;
  server {
    listen 127.0.0.1:$FRONT_PORT ssl;
    ssl_certificate $TLS_DIR/server.pem;
    ssl_certificate_key $TLS_DIR/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
EOF
    while read -r prefix port; do
      for loc in "= $prefix" "$prefix/"; do
        # A proxy_set_header here drops every inherited one: all are repeated.
        cat <<EOF
    location $loc {
      proxy_pass http://127.0.0.1:$port/;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-Proto https;
      proxy_set_header X-Forwarded-Host \$http_host;
      proxy_set_header X-Forwarded-Prefix $prefix;
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
    }
EOF
      done
    done <<<"$locs"
    echo "  }"
    echo "}"
  } | put "$D/etc/nginx/nginx.conf"
  after=$(md5sum "$D/etc/nginx/nginx.conf")
  FRONT_CHANGED=0
  [ "$before" = "$after" ] || FRONT_CHANGED=1
}

start_front() {
  if is_running nginx; then
    [ "$FRONT_CHANGED" = 1 ] || return 0
    front_cmd -t -q >>"$LOG/nginx.out" 2>&1 || fail nginx "its new configuration does not load"
    kill -HUP "$(recorded_pid nginx)"
    log "nginx reloads its changed configuration"
    return 0
  fi
  front_cmd -t -q >>"$LOG/nginx.out" 2>&1 || fail nginx "its configuration does not load"
  start_service nginx -- /usr/sbin/nginx -p "$D/data/nginx/" -e "$LOG/nginx-error.log" -c "$D/etc/nginx/nginx.conf"
}

# The front answers over TLS with a certificate the CA vouches for, and
# reaches Keystone behind it.
wait_front() {
  local i code
  for ((i = 0; i < 120; i++)); do
    code=$(curl -s -o /dev/null -m 5 -w '%{http_code}' --cacert "$TLS_DIR/ca.pem" "$FRONT_URL/identity/v3" || true)
    [ "${code:-000}" = 200 ] && return 0
    check_alive nginx
    sleep 0.5
  done
  fail nginx "no answer from $FRONT_URL/identity/v3 within 60 s (last status ${code:-none})"
}

# ---------------------------------------------------------------- databases
init_keystone() {
  local k=(keystone-manage --config-file "$D/etc/keystone/keystone.conf")
  wal_db "$D/data/keystone/keystone.sqlite"
  mkdir -p "$D/data/keystone/fernet-keys" "$D/data/keystone/credential-keys"
  chmod 700 "$D/data/keystone/fernet-keys" "$D/data/keystone/credential-keys"
  env -i $(svc_env) "${k[@]}" db_sync
  env -i $(svc_env) "${k[@]}" fernet_setup --keystone-user root --keystone-group root
  env -i $(svc_env) "${k[@]}" credential_setup --keystone-user root --keystone-group root
  env -i $(svc_env) "${k[@]}" bootstrap --bootstrap-password "$ADMIN_PASSWORD" \
    --bootstrap-username admin --bootstrap-project-name admin --bootstrap-role-name admin \
    --bootstrap-admin-url http://127.0.0.1:5000/v3/ \
    --bootstrap-internal-url http://127.0.0.1:5000/v3/ \
    --bootstrap-public-url http://127.0.0.1:5000/v3/ \
    --bootstrap-region-id RegionOne
}

init_glance() {
  wal_db "$D/data/glance/glance.sqlite"
  mkdir -p "$D/data/glance/images" "$D/data/glance/staging"
  env -i $(svc_env) "$D/bin/glance-manage" --config-file "$D/etc/glance/glance-api.conf" db_sync
}

init_placement() {
  wal_db "$D/data/placement/placement.sqlite"
  env -i $(svc_env) placement-manage --config-file "$D/etc/placement/placement.conf" db sync
}

init_nova() {
  local n=("$D/bin/nova-manage" --config-file "$D/etc/nova/nova.conf" --config-file "$D/etc/nova/nova-db.conf")
  wal_db "$D/data/nova/nova_api.sqlite"
  wal_db "$D/data/nova/nova_cell0.sqlite"
  wal_db "$D/data/nova/nova_cell1.sqlite"
  mkdir -p "$D/data/nova/instances"
  env -i $(svc_env) "${n[@]}" api_db sync
  env -i $(svc_env) "${n[@]}" cell_v2 map_cell0 --database_connection "$(db_url "$D/data/nova/nova_cell0.sqlite")"
  env -i $(svc_env) "${n[@]}" cell_v2 create_cell --name cell1 --verbose >/dev/null
  env -i $(svc_env) "${n[@]}" db sync
}

init_neutron() {
  wal_db "$D/data/neutron/neutron.sqlite"
  # Neutron's migrations alter constraints, which SQLite cannot do.
  pyhelper neutron-schema "$(db_url "$D/data/neutron/neutron.sqlite")"
  env -i $(svc_env) "$D/bin/neutron-db-manage" --config-file "$D/etc/neutron/neutron.conf" \
    --config-file "$D/etc/neutron/ml2_conf.ini" stamp heads
}

init_cinder() {
  wal_db "$D/data/cinder/cinder.sqlite"
  env -i $(svc_env) "$D/bin/cinder-manage" --config-file "$D/etc/cinder/cinder.conf" db sync
}

init_swift() {
  local S=$D/etc/swift kind port
  mkdir -p "$D/data/swift/d1"
  for kind in account container object; do
    case $kind in account) port=6202 ;; container) port=6201 ;; object) port=6200 ;; esac
    (cd "$S" &&
      env -i $(svc_env) "$D/bin/swift-ring-builder" "$kind.builder" create 10 1 1 &&
      env -i $(svc_env) "$D/bin/swift-ring-builder" "$kind.builder" add "r1z1-127.0.0.1:$port/d1" 1 &&
      env -i $(svc_env) "$D/bin/swift-ring-builder" "$kind.builder" rebalance) >/dev/null
  done
}

# Runs the set-up steps that only need their own files side by side; their
# output goes to log/init-NAME.log, and a failure names the step.
parallel_init() {
  local pids=() names=() name i rc=0
  for name in "$@"; do
    [ -f "$D/state/init-$name" ] && continue
    # set -e holds inside the subshell only when it is not part of a && list.
    (
      set -e
      "init_$name" >"$LOG/init-$name.log" 2>&1
      touch "$D/state/init-$name"
    ) &
    pids+=($!); names+=("$name")
  done
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
      echo "cloud: setting up ${names[$i]} failed; tail of $LOG/init-${names[$i]}.log:" >&2
      tail -n 40 "$LOG/init-${names[$i]}.log" >&2
      rc=1
    fi
  done
  [ $rc -eq 0 ] || exit 1
}

# ---------------------------------------------------------------- main
install_packages
mkdir -p "$D"/{bin,etc,data/lock,log,run,state,home}
fetch_paste_files "${COMMON_DEBS[@]}" "${EXTRA_COMMON_DEBS[@]}"
put "$D/bin/kvn_cloud.py" <"$HERE/kvn_cloud.py"
put "$D/bin/container_standin.py" <"$HERE/container_standin.py"
put "$D/bin/ws_server.py" <"$HERE/../../tests/ws_server.py"
chmod 755 "$D/bin/kvn_cloud.py"
sqlite_pool_module
cinder_driver_module
wrapper glance-api glance.cmd.api
wrapper glance-manage glance.cmd.manage
for s in api conductor scheduler compute manage; do wrapper "nova-$s" "nova.cmd.$s"; done
wrapper neutron-server neutron.cmd.eventlet.server
wrapper neutron-db-manage neutron.db.migration.cli
for s in api scheduler volume manage; do wrapper "cinder-$s" "cinder.cmd.$s"; done
wrapper swift-ring-builder swift.cli.ringbuilder
write_configs
prepare_extras
[ -s "$TLS_DIR/server.pem" ] || pyhelper make-front-certs "$TLS_DIR" >/dev/null
write_front_config
[ -f "$D/demo-key" ] || ssh-keygen -q -t ed25519 -N '' -C kvn-cloud-demo -f "$D/demo-key"

# Message bus and cache. epmd runs in the foreground in its own group; the
# one rabbitmq would start daemonises out of reach of the stop script.
if ! is_running epmd && ! port_open 4369; then
  start_service epmd ERL_EPMD_ADDRESS=127.0.0.1 -- /usr/bin/epmd -address 127.0.0.1
  wait_port epmd 4369 30
fi
mkdir -p "$D/data/rabbitmq" "$LOG/rabbitmq"
start_service rabbitmq \
  HOME="$D/data/rabbitmq" ERL_EPMD_ADDRESS=127.0.0.1 \
  RABBITMQ_NODENAME=kvn@localhost RABBITMQ_NODE_IP_ADDRESS=127.0.0.1 RABBITMQ_NODE_PORT=5672 \
  RABBITMQ_DIST_PORT=25672 RABBITMQ_MNESIA_BASE="$D/data/rabbitmq/mnesia" \
  RABBITMQ_LOG_BASE="$LOG/rabbitmq" RABBITMQ_CONFIG_FILE="$D/etc/rabbitmq/rabbitmq.conf" \
  RABBITMQ_ENABLED_PLUGINS_FILE="$D/etc/rabbitmq/enabled_plugins" \
  RABBITMQ_PID_FILE="$D/data/rabbitmq/rabbitmq.pid" \
  RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}" \
  -- /usr/lib/rabbitmq/bin/rabbitmq-server
start_service memcached -- /usr/bin/memcached -l 127.0.0.1 -p 11211 -U 0 -m 64 -u root

# Databases of the other services are made while keystone comes up.
if needs_postgres; then
  parallel_init keystone swift postgres
  start_postgres
else
  parallel_init keystone swift
fi
# shellcheck disable=SC2206
INITS=(glance placement nova neutron cinder $EXTRAS)
parallel_init "${INITS[@]}" &
INIT_PID=$!

wait_port memcached 11211 30
start_service keystone -- /usr/bin/uwsgi --ini "$D/etc/keystone/uwsgi.ini"
wait_http keystone http://127.0.0.1:5000/v3
once registered pyhelper register >"$LOG/register.log" 2>&1 || { tail -n 30 "$LOG/register.log" >&2; die "registering projects, users and endpoints failed"; }
todo=()
for x in $EXTRAS; do [ -f "$D/state/registered-$x" ] || todo+=("$x"); done
if [ ${#todo[@]} -gt 0 ]; then
  pyhelper register "${todo[@]}" >>"$LOG/register.log" 2>&1 || { tail -n 30 "$LOG/register.log" >&2; die "registering ${todo[*]} failed"; }
  for x in "${todo[@]}"; do touch "$D/state/registered-$x"; done
fi
once registered-front pyhelper register-front >>"$LOG/register.log" 2>&1 || { tail -n 30 "$LOG/register.log" >&2; die "registering the front's endpoints failed"; }
todo=()
for x in $EXTRAS; do [ -f "$D/state/registered-front-$x" ] || todo+=("$x"); done
if [ ${#todo[@]} -gt 0 ]; then
  pyhelper register-front "${todo[@]}" >>"$LOG/register.log" 2>&1 || { tail -n 30 "$LOG/register.log" >&2; die "registering the front's ${todo[*]} failed"; }
  for x in "${todo[@]}"; do touch "$D/state/registered-front-$x"; done
fi
wait_port rabbitmq 5672 120
wait "$INIT_PID" || exit 1

start_service placement -- /usr/bin/uwsgi --ini "$D/etc/placement/uwsgi.ini"
start_service glance -- "$D/bin/glance-api" --config-file "$D/etc/glance/glance-api.conf"
NOVA_DB=(--config-file "$D/etc/nova/nova.conf" --config-file "$D/etc/nova/nova-db.conf")
start_service nova-api -- "$D/bin/nova-api" "${NOVA_DB[@]}" --log-file "$LOG/nova-api.log"
start_service nova-conductor -- "$D/bin/nova-conductor" "${NOVA_DB[@]}" --log-file "$LOG/nova-conductor.log"
start_service nova-scheduler -- "$D/bin/nova-scheduler" "${NOVA_DB[@]}" --log-file "$LOG/nova-scheduler.log"
NEUTRON_CONF=(--config-file "$D/etc/neutron/neutron.conf" --config-file "$D/etc/neutron/ml2_conf.ini")
start_service neutron-server -- "$D/bin/neutron-server" "${NEUTRON_CONF[@]}" --log-file "$LOG/neutron-server.log"
CINDER_CONF=(--config-file "$D/etc/cinder/cinder.conf")
start_service cinder-api -- "$D/bin/cinder-api" "${CINDER_CONF[@]}" --log-file "$LOG/cinder-api.log"
start_service cinder-scheduler -- "$D/bin/cinder-scheduler" "${CINDER_CONF[@]}" --log-file "$LOG/cinder-scheduler.log"
start_service cinder-volume -- "$D/bin/cinder-volume" "${CINDER_CONF[@]}" --log-file "$LOG/cinder-volume.log"
for kind in account container object; do
  start_service "swift-$kind" -- "$PY" "$D/bin/kvn_cloud.py" swift-server "$D/etc/swift" "$kind-server" "$D/etc/swift/$kind-server.conf"
done
start_service swift-container-updater -- "$PY" "$D/bin/kvn_cloud.py" swift-server "$D/etc/swift" container-updater "$D/etc/swift/container-server.conf"
start_service swift-proxy -- "$PY" "$D/bin/kvn_cloud.py" swift-server "$D/etc/swift" proxy-server "$D/etc/swift/proxy-server.conf"

start_extras
start_front
wait_http placement http://127.0.0.1:8778/
wait_http glance http://127.0.0.1:9292/
wait_http neutron-server http://127.0.0.1:9696/
start_service neutron-fake-agent -- "$PY" "$D/bin/kvn_cloud.py" fake-agent "$D/etc/neutron/neutron.conf" "$D/etc/neutron/ml2_conf.ini"
# Ports bind only once the agent is known alive, and a server booted before
# that fails with PortBindingFailed; but nothing boots one before this
# script ends, so nova-compute loads (half a minute of imports on a busy
# machine) while the other services come up and the agent reports in.
start_service nova-compute -- "$D/bin/nova-compute" --config-file "$D/etc/nova/nova.conf" --log-file "$LOG/nova-compute.log"
# The console server behind serial consoles and the container stand-in.
start_service console-server -- "$PY" "$D/bin/ws_server.py" --port 6083 --term xterm-256color
start_service container-standin -- "$PY" "$D/bin/container_standin.py" 9517
log "core services started; waiting for them to answer"
wait_http nova-api http://127.0.0.1:8774/
wait_http cinder-api http://127.0.0.1:8776/
wait_port swift-account 6202
wait_port swift-container 6201
wait_port swift-object 6200
wait_http swift-proxy http://127.0.0.1:8080/healthcheck
wait_port console-server 6083
wait_http container-standin http://127.0.0.1:9517/
wait_front
for s in nova-conductor nova-scheduler cinder-scheduler cinder-volume swift-container-updater; do check_alive "$s"; done

log "core services answer"
for ((i = 0; ; i++)); do
  admin_token && break
  [ $i -lt 30 ] || die "no admin token from keystone within 60 s"
  sleep 2
done
for ((i = 0; ; i++)); do
  agent_alive && break
  check_alive neutron-fake-agent
  [ $i -lt 90 ] || fail neutron-fake-agent "not reported alive within 180 s"
  sleep 2
done
# The hypervisor is listed once its host is mapped to the cell, which the
# scheduler's periodic discovery does within seconds of its registering.
# A nova-manage run costs seconds of CPU on a machine still starting
# everything else, so it only backs the scheduler up now and then.
for ((i = 0; ; i++)); do
  compute_ready && break
  check_alive nova-compute
  [ $i -lt 60 ] || fail nova-compute "not up in nova within 180 s"
  [ $((i % 4)) -ne 3 ] || env -i $(svc_env) "$D/bin/nova-manage" "${NOVA_DB[@]}" cell_v2 discover_hosts >/dev/null 2>&1 || true
  sleep 3
done
log "nova-compute is up"

wait_extras
log "extra services answer"
# The scheduler places volumes only once cinder-volume has reported its
# pool; a volume asked for before that goes to "error".
for ((i = 0; ; i++)); do
  pools_ready cinder && break
  check_alive cinder-volume
  check_alive cinder-scheduler
  [ $i -lt 60 ] || fail cinder-scheduler "no volume pool reported within 120 s"
  sleep 2
done

# Seeding finds before it creates, so a second try after a transient error
# only adds what is still missing.
pyhelper seed >"$LOG/seed.log" 2>&1 || pyhelper seed >>"$LOG/seed.log" 2>&1 ||
  { tail -n 30 "$LOG/seed.log" >&2; die "seeding flavors, images and networks failed"; }
seed_extras
for f in "$RUN"/*.pid; do check_alive "$(basename "$f" .pid)"; done
log "cloud ready in $(( $(date +%s) - T0 )) s: source $D/demo-openrc (or admin-openrc)"
