# The local cloud's extra services, sourced by start.sh. KVN_CLOUD_EXTRAS
# picks them: 1 (the default) for all, 0 for none, or a list of names from
# ALL_EXTRAS such as "heat gnocchi".
#
# Each service NAME has extra_NAME_config (its files), init_NAME (its
# database, run once), start_NAME, wait_NAME and optionally seed_NAME; the
# loops at the end run them for the chosen services only.
#
# Manila, Octavia and Gnocchi keep their data in a private PostgreSQL
# cluster: Gnocchi has no SQLite indexer, Manila's migrations alter
# constraints (which SQLite cannot do), and manila-share deletes a share
# through a second session while the first holds SQLite's write lock, so the
# share would stay "deleting"; Octavia's API and worker write the same rows.
# Designate stays on SQLite: its mdns compares a text column with a boolean,
# which PostgreSQL refuses.
#
# Mistral, Senlin, Trove, Watcher, CloudKitty and Masakari run their API
# (and the engine where it costs one process): enough to list, show, create
# and delete what needs no real hypervisor, database server or collector.
# Zaqar is not started: every message store it ships (MongoDB, Redis, or
# Swift through a service user's account) needs a server Debian's python3-
# zaqar does not bring, or more set-up than its API is worth here.

ALL_EXTRAS="heat barbican ironic aodh magnum manila octavia designate gnocchi
  mistral senlin trove watcher cloudkitty masakari"
PG_EXTRAS="manila octavia gnocchi"

case ${KVN_CLOUD_EXTRAS:-1} in
  1) EXTRAS=$ALL_EXTRAS ;;
  0 | "") EXTRAS="" ;;
  *) EXTRAS=$KVN_CLOUD_EXTRAS ;;
esac
for _x in $EXTRAS; do
  grep -qw -- "$_x" <<<"$ALL_EXTRAS" || die "unknown extra service '$_x' in KVN_CLOUD_EXTRAS (known: $ALL_EXTRAS)"
done
unset _x
has_extra() { grep -qw -- "$1" <<<"$EXTRAS"; }
needs_postgres() {
  local x
  for x in $PG_EXTRAS; do has_extra "$x" && return 0; done
  return 1
}

EXTRA_PACKAGES=()
EXTRA_COMMON_DEBS=()
for _x in $EXTRAS; do
  EXTRA_PACKAGES+=("python3-$_x" "python3-${_x}client")
  case $_x in
    ironic | octavia | gnocchi) ;; # need nothing from their -common package
    *) EXTRA_COMMON_DEBS+=("$_x-common") ;;
  esac
done
unset _x
needs_postgres && EXTRA_PACKAGES+=(postgresql python3-psycopg2)

# Barbican, Aodh and Gnocchi read their configuration only from oslo's
# default places (~/.barbican and the like, or /etc), and so does the
# middleware in Designate's paste pipeline: each gets a HOME of its own.
BARBICAN_HOME=$D/etc/barbican/home
AODH_HOME=$D/etc/aodh/home
DESIGNATE_HOME=$D/etc/designate/home
DESIGNATE_CONF=$DESIGNATE_HOME/.designate/designate.conf
GNOCCHI_HOME=$D/etc/gnocchi/home
CLOUDKITTY_HOME=$D/etc/cloudkitty/home

# ---------------------------------------------------------------- postgres
PG_PORT=5433
PG_DATA=$D/data/postgres
PG_BIN=
for _p in /usr/lib/postgresql/*/bin; do [ -x "$_p/postgres" ] && PG_BIN=$_p; done
unset _p

pg_url() { echo "postgresql+psycopg2://postgres@127.0.0.1:$PG_PORT/$1"; }
pg_psql() { env -i $(svc_env) PGCONNECT_TIMEOUT=5 "$PG_BIN/psql" -h 127.0.0.1 -p "$PG_PORT" -U postgres -v ON_ERROR_STOP=1 -qAt "$@"; }
# A database set up from empty: a set-up step that did not finish is run
# again on the next start, and must not meet its own half-made schema.
pg_new_db() { # name
  pg_psql -d postgres -c "DROP DATABASE IF EXISTS \"$1\" WITH (FORCE)"
  pg_psql -d postgres -c "CREATE DATABASE \"$1\""
}

init_postgres() {
  [ -n "$PG_BIN" ] || { echo "no PostgreSQL server under /usr/lib/postgresql" >&2; return 1; }
  # The server refuses to run as root; the cluster belongs to postgres and
  # the folders above it must let that user through.
  chmod 755 "$D" "$D/data"
  rm -rf "$PG_DATA"
  mkdir -p "$PG_DATA"
  chown postgres:postgres "$PG_DATA"
  chmod 700 "$PG_DATA"
  env -i $(svc_env) setpriv --reuid=postgres --regid=postgres --clear-groups \
    "$PG_BIN/initdb" -D "$PG_DATA" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 --no-sync
  # Only TCP on loopback; durability does not matter for a test cloud.
  cat >>"$PG_DATA/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $PG_PORT
unix_socket_directories = ''
max_connections = 300
fsync = off
synchronous_commit = off
full_page_writes = off
logging_collector = off
EOF
}

start_postgres() {
  start_service postgres -- setpriv --reuid=postgres --regid=postgres --clear-groups \
    "$PG_BIN/postgres" -D "$PG_DATA"
  local i
  for ((i = 0; i < 120; i++)); do
    pg_psql -d postgres -c 'SELECT 1' >/dev/null 2>&1 && return 0
    check_alive postgres
    sleep 0.5
  done
  fail postgres "no answer on port $PG_PORT within 60 s"
}

# ---------------------------------------------------------------- configs
extra_heat_config() {
  wrapper heat-api heat.cmd.api
  wrapper heat-engine heat.cmd.engine
  wrapper heat-manage heat.cmd.manage
  put "$D/etc/heat/heat.conf" <<EOF
[DEFAULT]
$(common_default)
num_engine_workers = 1
heat_metadata_server_url = http://127.0.0.1:8000
heat_waitcondition_server_url = http://127.0.0.1:8000/v1/waitcondition
[heat_api]
bind_host = 127.0.0.1
bind_port = 8004
workers = 1
[paste_deploy]
api_paste_config = $D/pkgfiles/etc/heat/api-paste.ini
[database]
connection = $(db_url "$D/data/heat/heat.sqlite")
$(pool_opts)
$(authtoken heat)
# Deferred operations act through trusts made by the heat user.
$(service_auth trustee heat)
[clients_keystone]
auth_uri = http://127.0.0.1:5000
[clients]
endpoint_type = public
$(policy_defaults)
EOF
}

extra_barbican_config() {
  local E=$D/etc/barbican
  mkdir -p "$D/data/barbican"
  # simple_crypto's key-encryption key: random per cloud, kept with it.
  [ -s "$D/data/barbican/kek" ] || head -c 32 /dev/urandom | base64 >"$D/data/barbican/kek"
  put "$BARBICAN_HOME/.barbican/barbican.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/barbican.log
# Empty: secret hrefs follow the request, so they point back through the
# TLS front when the request came through it.
host_href =
sql_connection = $(db_url "$D/data/barbican/barbican.sqlite")
db_auto_create = true
transport_url = $TRANSPORT_URL
[database]
connection = $(db_url "$D/data/barbican/barbican.sqlite")
[secretstore]
enabled_secretstore_plugins = store_crypto
[crypto]
enabled_crypto_plugins = simple_crypto
[simple_crypto_plugin]
kek = $(cat "$D/data/barbican/kek")
$(authtoken barbican)
# The legacy rules want a "creator" role nobody has; the new defaults let
# a project member store secrets.
[oslo_policy]
enforce_new_defaults = true
enforce_scope = false
$(proxy_headers)
EOF
  put "$E/app.py" <<EOF
# The packaged entry hard-codes /etc/barbican's paste file.
from paste import deploy
application = deploy.loadapp('config:$D/pkgfiles/usr/share/barbican-common/barbican-api-paste.ini')
EOF
  uwsgi_ini "$E/uwsgi.ini" 9311 "$E/app.py"
}

extra_ironic_config() {
  wrapper ironic-api ironic.cmd.api
  wrapper ironic-conductor ironic.cmd.conductor
  wrapper ironic-dbsync ironic.cmd.dbsync
  put "$D/etc/ironic/ironic.conf" <<EOF
[DEFAULT]
$(common_default)
# Only fake hardware: other types need real BMCs or default interfaces
# that the conductor cannot load, which makes every API call a 503.
enabled_hardware_types = fake-hardware
enabled_boot_interfaces = fake
enabled_bios_interfaces = fake
enabled_console_interfaces = fake,no-console
enabled_deploy_interfaces = fake
enabled_inspect_interfaces = fake,no-inspect
enabled_management_interfaces = fake
enabled_network_interfaces = noop
enabled_power_interfaces = fake
enabled_raid_interfaces = fake,no-raid
enabled_rescue_interfaces = fake,no-rescue
enabled_storage_interfaces = noop
enabled_vendor_interfaces = fake,no-vendor
default_network_interface = noop
[api]
host_ip = 127.0.0.1
port = 6385
api_workers = 1
[conductor]
automated_clean = false
[deploy]
http_root = $D/data/ironic/httpboot
http_url = http://127.0.0.1:8088
[database]
connection = $(db_url "$D/data/ironic/ironic.sqlite")
$(pool_opts)
$(authtoken ironic)
$(service_auth service_catalog ironic)
$(policy_defaults)
EOF
}

extra_aodh_config() {
  wrapper aodh-dbsync aodh.cmd.storage dbsync
  put "$AODH_HOME/.aodh/aodh.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/aodh.log
transport_url = $TRANSPORT_URL
[api]
paste_config = $D/pkgfiles/usr/share/aodh-common/api-paste.ini
[database]
connection = $(db_url "$D/data/aodh/aodh.sqlite")
$(authtoken aodh)
$(service_auth service_credentials aodh)
interface = public
$(policy_defaults)
EOF
  uwsgi_ini "$D/etc/aodh/uwsgi.ini" 8042 "$D/pkgfiles/usr/share/aodh-common/app.wsgi"
}

extra_magnum_config() {
  wrapper magnum-api magnum.cmd.api
  wrapper magnum-conductor magnum.cmd.conductor
  wrapper magnum-db-manage magnum.cmd.db_manage
  put "$D/etc/magnum/magnum.conf" <<EOF
[DEFAULT]
$(common_default)
state_path = $D/data/magnum
[api]
host = 127.0.0.1
port = 9511
workers = 1
api_paste_config = $D/pkgfiles/usr/share/magnum-common/api-paste.ini
[conductor]
workers = 1
[database]
connection = $(db_url "$D/data/magnum/magnum.sqlite")
$(pool_opts)
$(authtoken magnum)
$(service_auth keystone_auth magnum)
# Even listing templates looks the trustee domain up.
[trust]
cluster_user_trust = false
trustee_domain_name = magnum
trustee_domain_admin_name = magnum_domain_admin
trustee_domain_admin_domain_name = magnum
trustee_domain_admin_password = $SERVICE_PASSWORD
trustee_keystone_interface = public
[certificates]
cert_manager_type = x509keypair
[cinder_client]
region_name = RegionOne
$(policy_defaults)
EOF
}

extra_manila_config() {
  local s
  for s in api scheduler share manage; do wrapper "manila-$s" "manila.cmd.$s"; done
  put "$D/etc/manila/manila.conf" <<EOF
[DEFAULT]
$(common_default)
api_paste_config = $D/pkgfiles/usr/share/manila-common/api-paste.ini
osapi_share_listen = 127.0.0.1
osapi_share_listen_port = 8786
osapi_share_workers = 1
state_path = $D/data/manila
enabled_share_backends = dummy
enabled_share_protocols = NFS,CIFS
default_share_type = default
[dummy]
share_driver = manila.tests.share.drivers.dummy.DummyDriver
driver_handles_share_servers = false
share_backend_name = dummy
[database]
connection = $(pg_url manila)
$(authtoken manila)
$(policy_defaults)
EOF
}

extra_octavia_config() {
  wrapper octavia-api octavia.cmd.api
  wrapper octavia-worker octavia.cmd.octavia_worker
  wrapper octavia-db-manage octavia.db.migration.cli
  mkdir -p "$D/data/octavia"
  # A throw-away CA for the certificates the worker makes for amphorae.
  [ -s "$D/data/octavia/ca.pem" ] || pyhelper make-ca "$D/data/octavia/ca.pem" "$D/data/octavia/ca.key" >/dev/null
  put "$D/etc/octavia/octavia.conf" <<EOF
[DEFAULT]
$(common_default)
[api_settings]
bind_host = 127.0.0.1
bind_port = 9876
auth_strategy = keystone
api_base_uri = http://127.0.0.1:9876
[database]
connection = $(pg_url octavia)
[health_manager]
bind_ip = 127.0.0.1
bind_port = 5555
heartbeat_key = kvn-cloud-test-only
# No amphora, no compute, no network: every driver accepts and does nothing,
# so a load balancer goes ACTIVE with a made-up VIP.
[controller_worker]
amphora_driver = amphora_noop_driver
compute_driver = compute_noop_driver
network_driver = network_noop_driver
volume_driver = volume_noop_driver
image_driver = image_noop_driver
loadbalancer_topology = SINGLE
client_ca = $D/data/octavia/ca.pem
amp_image_tag = amphora
amp_flavor_id = kvn-noop
amp_boot_network_list = 00000000-0000-0000-0000-000000000001
[task_flow]
# Its job board needs redis or zookeeper.
jobboard_enabled = false
[certificates]
cert_generator = local_cert_generator
ca_certificate = $D/data/octavia/ca.pem
ca_private_key = $D/data/octavia/ca.key
[haproxy_amphora]
server_ca = $D/data/octavia/ca.pem
[oslo_messaging]
topic = octavia_prov
$(authtoken octavia)
$(service_auth service_auth octavia)
$(policy_defaults)
EOF
}

extra_designate_config() {
  local s
  for s in api central worker producer mdns manage; do wrapper "designate-$s" "designate.cmd.$s"; done
  # The zones' only name server is designate's own mdns, which the worker
  # notifies and polls for the new serial.
  put "$D/etc/designate/pools.yaml" <<EOF
- name: default
  description: the local cloud's pool (fake back end)
  attributes: {}
  ns_records:
    - hostname: ns1.kvn-cloud.test.
      priority: 1
  nameservers:
    - host: 127.0.0.1
      port: 5354
  targets:
    - type: fake
      description: fake back end
      masters:
        - host: 127.0.0.1
          port: 5354
      options:
        host: 127.0.0.1
        port: 5354
EOF
  put "$DESIGNATE_CONF" <<EOF
[DEFAULT]
$(common_default)
[service:api]
listen = 127.0.0.1:9001
api_base_uri = http://127.0.0.1:9001/
api_paste_config = $D/pkgfiles/usr/share/designate-common/api-paste.ini
auth_strategy = keystone
enable_api_v2 = true
enable_api_admin = true
enabled_extensions_admin = quotas, reports
workers = 1
[service:central]
workers = 1
[service:worker]
workers = 1
poll_delay = 1
poll_retry_interval = 2
# The fake back end serves nothing, and mdns keeps answering for a zone
# until it is gone from the database, so a delete would wait forever for
# the name servers to drop it: the worker does not wait for their consensus.
threshold_percentage = 0
[service:producer]
workers = 1
[service:mdns]
listen = 127.0.0.1:5354
workers = 1
[storage:sqlalchemy]
connection = $(db_url "$D/data/designate/designate.sqlite")
# Four services report to central every 10 s by default, each report a
# write to the one SQLite file; under load those writes met the API's and
# held central long enough for zone and TLD calls to time out (HTTP 504).
[heartbeat_emitter]
heartbeat_interval = 60
# Reverse DNS asks neutron about floating IPs; from the catalog it would
# take every region's endpoint, and the front's needs the test CA.
[network_api:neutron]
endpoints = RegionOne|http://127.0.0.1:9696
$(authtoken designate)
$(policy_defaults)
EOF
}

extra_gnocchi_config() {
  wrapper gnocchi-upgrade gnocchi.cli.manage upgrade
  wrapper gnocchi-metricd gnocchi.cli.metricd metricd
  mkdir -p "$D/data/gnocchi"
  put "$GNOCCHI_HOME/.gnocchi/gnocchi.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_dir = $LOG
[api]
auth_mode = keystone
[indexer]
url = $(pg_url gnocchi)
[storage]
driver = file
file_basepath = $D/data/gnocchi
[metricd]
workers = 1
# Measures are aggregated within seconds instead of a minute.
metric_processing_delay = 2
$(authtoken gnocchi)
EOF
  uwsgi_ini "$D/etc/gnocchi/uwsgi.ini" 8041 /usr/lib/python3/dist-packages/gnocchi/rest/wsgi.py
}

extra_mistral_config() {
  wrapper mistral-server mistral.cmd.launch
  wrapper mistral-db-manage mistral.db.sqlalchemy.migration.cli
  put "$D/etc/mistral/mistral.conf" <<EOF
[DEFAULT]
$(common_default)
[api]
host = 127.0.0.1
port = 8989
api_workers = 1
[database]
connection = $(db_url "$D/data/mistral/mistral.sqlite")
$(pool_opts)
$(authtoken mistral)
[pecan]
auth_enable = true
$(policy_defaults)
EOF
}

extra_senlin_config() {
  local s
  for s in api engine conductor manage; do wrapper "senlin-$s" "senlin.cmd.$s"; done
  put "$D/etc/senlin/senlin.conf" <<EOF
[DEFAULT]
$(common_default)
[senlin_api]
bind_host = 127.0.0.1
bind_port = 8777
workers = 1
api_paste_config = $D/pkgfiles/usr/share/senlin-common/api-paste.ini
[conductor]
workers = 1
[engine]
workers = 1
[database]
# Not the one-connection pool: the engine takes a second connection while
# it holds the first, and would wait for itself.
connection = $(db_url "$D/data/senlin/senlin.sqlite")
$(authtoken senlin)
[authentication]
auth_url = http://127.0.0.1:5000/v3
service_username = senlin
service_password = $SERVICE_PASSWORD
service_project_name = service
service_user_domain = Default
service_project_domain = Default
$(policy_defaults)
EOF
}

extra_trove_config() {
  wrapper trove-api trove.cmd.api
  # trove-manage still calls inspect.getargspec, which Python 3.11 dropped.
  put "$D/bin/trove-manage" <<EOF
#!/usr/bin/python3
import inspect
import sys
inspect.getargspec = inspect.getfullargspec
from trove.cmd.manage import main
sys.exit(main())
EOF
  chmod 755 "$D/bin/trove-manage"
  # Trove's "host" must be an address, not the name the others use.
  put "$D/etc/trove/trove.conf" <<EOF
[DEFAULT]
$(common_default | grep -v '^host =')
host = 127.0.0.1
bind_host = 127.0.0.1
bind_port = 8779
trove_api_workers = 1
api_paste_config = $D/pkgfiles/usr/share/trove-common/api-paste.ini
os_region_name = RegionOne
[database]
connection = $(db_url "$D/data/trove/trove.sqlite")
$(pool_opts)
$(authtoken trove)
$(service_auth service_credentials trove)
$(policy_defaults)
EOF
}

extra_watcher_config() {
  wrapper watcher-api watcher.cmd.api
  wrapper watcher-db-manage watcher.cmd.dbmanage
  wrapper watcher-sync watcher.cmd.sync
  put "$D/etc/watcher/watcher.conf" <<EOF
[DEFAULT]
$(common_default)
[api]
host = 127.0.0.1
port = 9322
workers = 1
[database]
connection = $(db_url "$D/data/watcher/watcher.sqlite")
$(pool_opts)
$(authtoken watcher)
$(service_auth watcher_clients_auth watcher)
$(policy_defaults)
EOF
}

# CloudKitty's WSGI entry reads its configuration from oslo's default
# places only, as Aodh's does.
extra_cloudkitty_config() {
  wrapper cloudkitty-dbsync cloudkitty.cli.dbsync
  wrapper cloudkitty-storage-init cloudkitty.cli.storage
  put "$CLOUDKITTY_HOME/.cloudkitty/cloudkitty.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/cloudkitty.log
transport_url = $TRANSPORT_URL
auth_strategy = keystone
api_paste_config = $D/pkgfiles/usr/share/cloudkitty-common/api_paste.ini
[database]
connection = $(db_url "$D/data/cloudkitty/cloudkitty.sqlite")
# The SQL storage of the first API: the second one needs InfluxDB or
# Elasticsearch, which Debian's package does not bring along.
[storage]
backend = sqlalchemy
version = 1
[collect]
metrics_conf = $D/pkgfiles/usr/share/cloudkitty-common/metrics.yml
$(authtoken cloudkitty)
$(policy_defaults)
EOF
  uwsgi_ini "$D/etc/cloudkitty/uwsgi.ini" 8889 /usr/lib/python3/dist-packages/cloudkitty/api/app.wsgi
}

# Debian ships no paste file for Masakari's API; this is its usual one.
extra_masakari_config() {
  wrapper masakari-api masakari.cmd.api
  wrapper masakari-manage masakari.cmd.manage
  put "$D/etc/masakari/api-paste.ini" <<EOF
[composite:masakari_api]
use = call:masakari.api.urlmap:urlmap_factory
/: apiversions
/v1: masakari_api_v1
[composite:masakari_api_v1]
use = call:masakari.api.auth:pipeline_factory_v1
keystone = http_proxy_to_wsgi request_id faultwrap sizelimit authtoken keystonecontext osapi_masakari_app_v1
[filter:http_proxy_to_wsgi]
paste.filter_factory = oslo_middleware.http_proxy_to_wsgi:HTTPProxyToWSGI.factory
[filter:request_id]
paste.filter_factory = oslo_middleware:RequestId.factory
[filter:faultwrap]
paste.filter_factory = masakari.api.openstack:FaultWrapper.factory
[filter:sizelimit]
paste.filter_factory = oslo_middleware:RequestBodySizeLimiter.factory
[filter:authtoken]
paste.filter_factory = keystonemiddleware.auth_token:filter_factory
[filter:keystonecontext]
paste.filter_factory = masakari.api.auth:MasakariKeystoneContext.factory
[app:osapi_masakari_app_v1]
paste.app_factory = masakari.api.openstack.ha:APIRouterV1.factory
[pipeline:apiversions]
pipeline = faultwrap http_proxy_to_wsgi apiversionsapp
[app:apiversionsapp]
paste.app_factory = masakari.api.openstack.ha.versions:Versions.factory
EOF
  put "$D/etc/masakari/masakari.conf" <<EOF
[DEFAULT]
$(common_default)
masakari_api_listen = 127.0.0.1
masakari_api_listen_port = 15868
masakari_api_workers = 1
auth_strategy = keystone
[wsgi]
api_paste_config = $D/etc/masakari/api-paste.ini
[database]
connection = $(db_url "$D/data/masakari/masakari.sqlite")
$(pool_opts)
$(authtoken masakari)
$(policy_defaults)
EOF
}

# ---------------------------------------------------------------- databases
init_heat() {
  wal_db "$D/data/heat/heat.sqlite"
  env -i $(svc_env) "$D/bin/heat-manage" --config-file "$D/etc/heat/heat.conf" db_sync
}

init_barbican() { wal_db "$D/data/barbican/barbican.sqlite"; }

init_ironic() {
  wal_db "$D/data/ironic/ironic.sqlite"
  mkdir -p "$D/data/ironic/httpboot"
  env -i $(svc_env) "$D/bin/ironic-dbsync" --config-file "$D/etc/ironic/ironic.conf" create_schema
}

init_aodh() {
  wal_db "$D/data/aodh/aodh.sqlite"
  env -i $(svc_env) HOME="$AODH_HOME" "$D/bin/aodh-dbsync"
}

# Magnum's migrations alter constraints, which SQLite cannot do: the schema
# comes from the models, then the migration history is stamped at head.
init_magnum() {
  wal_db "$D/data/magnum/magnum.sqlite"
  env -i $(svc_env) "$PY" -c "import sqlalchemy, sys; from magnum.db.sqlalchemy import models; models.Base.metadata.create_all(sqlalchemy.create_engine(sys.argv[1]))" "$(db_url "$D/data/magnum/magnum.sqlite")"
  env -i $(svc_env) "$D/bin/magnum-db-manage" --config-file "$D/etc/magnum/magnum.conf" stamp head
}

init_manila() {
  pg_new_db manila
  env -i $(svc_env) "$D/bin/manila-manage" --config-file "$D/etc/manila/manila.conf" db sync
}

init_octavia() {
  pg_new_db octavia
  pyhelper octavia-schema "$(pg_url octavia)"
  env -i $(svc_env) "$D/bin/octavia-db-manage" --config-file "$D/etc/octavia/octavia.conf" stamp head
}

init_designate() {
  wal_db "$D/data/designate/designate.sqlite"
  env -i $(svc_env) HOME="$DESIGNATE_HOME" "$D/bin/designate-manage" --config-file "$DESIGNATE_CONF" database sync
}

init_gnocchi() {
  pg_new_db gnocchi
  env -i $(svc_env) HOME="$GNOCCHI_HOME" "$D/bin/gnocchi-upgrade"
}

init_mistral() {
  wal_db "$D/data/mistral/mistral.sqlite"
  # Its migrations alter constraints, which SQLite cannot do.
  env -i $(svc_env) "$PY" -c "import sqlalchemy, sys; from mistral.db.v2.sqlalchemy import models; models.Execution.metadata.create_all(sqlalchemy.create_engine(sys.argv[1]))" "$(db_url "$D/data/mistral/mistral.sqlite")"
  env -i $(svc_env) "$D/bin/mistral-db-manage" --config-file "$D/etc/mistral/mistral.conf" stamp head
  # No "populate": the standard actions come from their entry points when
  # the engine starts, and copying them into the database costs 20 s.
}

init_senlin() {
  wal_db "$D/data/senlin/senlin.sqlite"
  env -i $(svc_env) "$D/bin/senlin-manage" --config-file "$D/etc/senlin/senlin.conf" db_sync
}

init_trove() {
  wal_db "$D/data/trove/trove.sqlite"
  env -i $(svc_env) "$D/bin/trove-manage" --config-file "$D/etc/trove/trove.conf" db_sync
}

init_watcher() {
  wal_db "$D/data/watcher/watcher.sqlite"
  env -i $(svc_env) "$D/bin/watcher-db-manage" --config-file "$D/etc/watcher/watcher.conf" create_schema
}

init_cloudkitty() {
  wal_db "$D/data/cloudkitty/cloudkitty.sqlite"
  env -i $(svc_env) HOME="$CLOUDKITTY_HOME" "$D/bin/cloudkitty-dbsync" upgrade
  env -i $(svc_env) HOME="$CLOUDKITTY_HOME" "$D/bin/cloudkitty-storage-init"
}

init_masakari() {
  wal_db "$D/data/masakari/masakari.sqlite"
  env -i $(svc_env) "$D/bin/masakari-manage" --config-file "$D/etc/masakari/masakari.conf" db sync
}

# ---------------------------------------------------------------- services
# Starts services that take a configuration file and write their own log.
start_with_conf() { # conf name...
  local conf=$1 name
  shift
  for name in "$@"; do
    start_service "$name" -- "$D/bin/$name" --config-file "$conf" --log-file "$LOG/$name.log"
  done
}

start_heat() { start_with_conf "$D/etc/heat/heat.conf" heat-api heat-engine; }
wait_heat() { wait_http heat-api http://127.0.0.1:8004/; check_alive heat-engine; }

start_barbican() { start_service barbican HOME="$BARBICAN_HOME" -- /usr/bin/uwsgi --ini "$D/etc/barbican/uwsgi.ini"; }
wait_barbican() { wait_http barbican http://127.0.0.1:9311/; }

start_ironic() { start_with_conf "$D/etc/ironic/ironic.conf" ironic-api ironic-conductor; }
wait_ironic() { wait_http ironic-api http://127.0.0.1:6385/; check_alive ironic-conductor; }

start_aodh() { start_service aodh HOME="$AODH_HOME" -- /usr/bin/uwsgi --ini "$D/etc/aodh/uwsgi.ini"; }
wait_aodh() { wait_http aodh http://127.0.0.1:8042/; }

start_magnum() { start_with_conf "$D/etc/magnum/magnum.conf" magnum-api magnum-conductor; }
wait_magnum() { wait_http magnum-api http://127.0.0.1:9511/; check_alive magnum-conductor; }

start_manila() { start_with_conf "$D/etc/manila/manila.conf" manila-api manila-scheduler manila-share; }
# Like cinder's, manila's scheduler places shares only once it knows the
# share service's pools. The report that manila-share sends when it starts
# does not always arrive (when both start together, and at times even when
# the scheduler has run for a while), while a starting scheduler asks every
# running share service for its pools and gets the answer; so the scheduler
# is started again while it knows none. By the time this runs both have
# been up for a while, so a few seconds tell.
wait_manila() {
  wait_http manila-api http://127.0.0.1:8786/
  local i
  for ((i = 0; ; i++)); do
    pools_ready manila && break
    check_alive manila-share
    check_alive manila-scheduler
    [ $i -lt 60 ] || fail manila-scheduler "no share pool reported within 120 s"
    if [ $((i % 15)) -eq 3 ]; then
      log "manila-scheduler knows no share pool yet; starting it again"
      stop_service manila-scheduler >/dev/null
      start_with_conf "$D/etc/manila/manila.conf" manila-scheduler
    fi
    sleep 2
  done
}
seed_manila() { pyhelper seed-manila; }

start_octavia() { start_with_conf "$D/etc/octavia/octavia.conf" octavia-api octavia-worker; }
wait_octavia() { wait_http octavia-api http://127.0.0.1:9876/; check_alive octavia-worker; }

start_designate() {
  local s
  for s in central worker producer mdns api; do
    start_service "designate-$s" HOME="$DESIGNATE_HOME" -- "$D/bin/designate-$s" --config-file "$DESIGNATE_CONF"
  done
}
wait_designate() {
  wait_http designate-api http://127.0.0.1:9001/
  wait_port designate-mdns 5354
  local s
  for s in central worker producer; do check_alive "designate-$s"; done
}
# The pool is written through designate-central, so only once it runs.
seed_designate() {
  env -i $(svc_env) HOME="$DESIGNATE_HOME" "$D/bin/designate-manage" --config-file "$DESIGNATE_CONF" pool update \
    --file "$D/etc/designate/pools.yaml"
}

start_gnocchi() {
  start_service gnocchi-api HOME="$GNOCCHI_HOME" -- /usr/bin/uwsgi --ini "$D/etc/gnocchi/uwsgi.ini"
  start_service gnocchi-metricd HOME="$GNOCCHI_HOME" -- "$D/bin/gnocchi-metricd"
}
wait_gnocchi() { wait_http gnocchi-api http://127.0.0.1:8041/; check_alive gnocchi-metricd; }

# API, engine and executor in one process.
start_mistral() {
  start_service mistral -- "$D/bin/mistral-server" --config-file "$D/etc/mistral/mistral.conf" \
    --log-file "$LOG/mistral.log" --server api,engine,executor
}
wait_mistral() { wait_http mistral http://127.0.0.1:8989/; }

start_senlin() { start_with_conf "$D/etc/senlin/senlin.conf" senlin-api senlin-engine senlin-conductor; }
wait_senlin() { wait_http senlin-api http://127.0.0.1:8777/; check_alive senlin-engine; check_alive senlin-conductor; }

start_trove() { start_with_conf "$D/etc/trove/trove.conf" trove-api; }
wait_trove() { wait_http trove-api http://127.0.0.1:8779/; }
# One datastore with a default version, so its versions can be listed and an
# instance form has a choice; no guest image stands behind it.
seed_trove() {
  local tm=(env -i $(svc_env) "$D/bin/trove-manage" --config-file "$D/etc/trove/trove.conf")
  "${tm[@]}" datastore_update mysql "" &&
    "${tm[@]}" datastore_version_update mysql 5.7 mysql "" "" 1 --image-tags trove &&
    "${tm[@]}" datastore_update mysql 5.7
}

start_watcher() { start_with_conf "$D/etc/watcher/watcher.conf" watcher-api; }
wait_watcher() { wait_http watcher-api http://127.0.0.1:9322/; }
# Goals and strategies come from the decision engine's plug-ins; the sync
# writes them without running the engine.
seed_watcher() { env -i $(svc_env) "$D/bin/watcher-sync" --config-file "$D/etc/watcher/watcher.conf"; }

start_cloudkitty() { start_service cloudkitty HOME="$CLOUDKITTY_HOME" -- /usr/bin/uwsgi --ini "$D/etc/cloudkitty/uwsgi.ini"; }
wait_cloudkitty() { wait_http cloudkitty http://127.0.0.1:8889/; }

start_masakari() { start_with_conf "$D/etc/masakari/masakari.conf" masakari-api; }
wait_masakari() { wait_http masakari-api http://127.0.0.1:15868/; }

# ---------------------------------------------------------------- loops
prepare_extras() {
  local x
  for x in $EXTRAS; do
    mkdir -p "$D/data/$x"
    "extra_${x}_config"
  done
}

start_extras() { local x; for x in $EXTRAS; do "start_$x"; done; }
wait_extras() { local x; for x in $EXTRAS; do "wait_$x"; done; }

seed_extras() {
  local x
  for x in $EXTRAS; do
    declare -F "seed_$x" >/dev/null || continue
    once "seeded-$x" "seed_$x" >>"$LOG/seed.log" 2>&1 || {
      tail -n 30 "$LOG/seed.log" >&2
      die "seeding $x failed"
    }
  done
}
