# The local cloud's extra services (Heat, Barbican, Ironic, Aodh, Magnum),
# started by start.sh when KVN_CLOUD_EXTRAS=1, and Manila when also
# KVN_CLOUD_MANILA=1. Manila is off by default: its scheduler does not always
# receive the share service's capabilities (shares then fail with "No valid
# host"), and deleting a share fails on SQLite. Sourced by start.sh.

EXTRA_PACKAGES=(
  python3-heat python3-barbican python3-ironic python3-aodh python3-magnum
  python3-heatclient python3-barbicanclient python3-ironicclient python3-aodhclient
  python3-magnumclient
)
EXTRA_COMMON_DEBS=(heat-common barbican-common aodh-common magnum-common)
KVN_CLOUD_MANILA=${KVN_CLOUD_MANILA:-0}
if [ "$KVN_CLOUD_MANILA" = 1 ]; then
  EXTRA_PACKAGES+=(python3-manila python3-manilaclient)
  EXTRA_COMMON_DEBS+=(manila-common)
fi

# Barbican and Aodh only read their configuration from oslo's default
# places (~/.barbican, ~/.aodh, /etc): each gets a HOME of its own.
BARBICAN_HOME=$D/etc/barbican/home
AODH_HOME=$D/etc/aodh/home

write_extra_configs() {
  local E=$D/etc P=$D/pkgfiles

  put "$E/heat/heat.conf" <<EOF
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
api_paste_config = $P/etc/heat/api-paste.ini
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

  put "$BARBICAN_HOME/.barbican/barbican.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/barbican.log
host_href = http://127.0.0.1:9311
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
EOF
  put "$E/barbican/app.py" <<EOF
# The packaged entry hard-codes /etc/barbican's paste file.
from paste import deploy
application = deploy.loadapp('config:$P/usr/share/barbican-common/barbican-api-paste.ini')
EOF
  put "$E/barbican/uwsgi.ini" <<EOF
[uwsgi]
plugins = python3
http-socket = 127.0.0.1:9311
wsgi-file = $E/barbican/app.py
processes = 1
threads = 1
master = true
die-on-term = true
add-header = Connection: close
buffer-size = 65535
EOF

  put "$E/ironic/ironic.conf" <<EOF
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

  put "$AODH_HOME/.aodh/aodh.conf" <<EOF
[DEFAULT]
debug = ${KVN_CLOUD_DEBUG:-false}
log_file = $LOG/aodh.log
transport_url = $TRANSPORT_URL
[api]
paste_config = $P/usr/share/aodh-common/api-paste.ini
[database]
connection = $(db_url "$D/data/aodh/aodh.sqlite")
$(authtoken aodh)
$(service_auth service_credentials aodh)
interface = public
$(policy_defaults)
EOF
  put "$E/manila/manila.conf" <<EOF
[DEFAULT]
$(common_default)
api_paste_config = $P/usr/share/manila-common/api-paste.ini
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
connection = $(db_url "$D/data/manila/manila.sqlite")
$(authtoken manila)
$(policy_defaults)
EOF

  put "$E/magnum/magnum.conf" <<EOF
[DEFAULT]
$(common_default)
state_path = $D/data/magnum
[api]
host = 127.0.0.1
port = 9511
workers = 1
api_paste_config = $P/usr/share/magnum-common/api-paste.ini
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

  put "$E/aodh/uwsgi.ini" <<EOF
[uwsgi]
plugins = python3
http-socket = 127.0.0.1:8042
wsgi-file = $P/usr/share/aodh-common/app.wsgi
processes = 1
threads = 1
master = true
die-on-term = true
add-header = Connection: close
buffer-size = 65535
EOF
}

init_heat() {
  wal_db "$D/data/heat/heat.sqlite"
  env -i $(svc_env) "$D/bin/heat-manage" --config-file "$D/etc/heat/heat.conf" db_sync
}

init_barbican() {
  wal_db "$D/data/barbican/barbican.sqlite"
}

init_ironic() {
  wal_db "$D/data/ironic/ironic.sqlite"
  mkdir -p "$D/data/ironic/httpboot"
  env -i $(svc_env) "$D/bin/ironic-dbsync" --config-file "$D/etc/ironic/ironic.conf" create_schema
}

init_aodh() {
  wal_db "$D/data/aodh/aodh.sqlite"
  env -i $(svc_env) HOME="$AODH_HOME" "$D/bin/aodh-dbsync"
}

# Their migrations alter constraints, which SQLite cannot do: the schema
# comes from the models, then the migration history is stamped at head.
init_manila() {
  wal_db "$D/data/manila/manila.sqlite"
  env -i $(svc_env) "$PY" -c "import sqlalchemy, sys; from manila.db.sqlalchemy import models; models.BASE.metadata.create_all(sqlalchemy.create_engine(sys.argv[1]))" "$(db_url "$D/data/manila/manila.sqlite")"
  env -i $(svc_env) "$D/bin/manila-manage" --config-file "$D/etc/manila/manila.conf" db stamp head
}

init_magnum() {
  wal_db "$D/data/magnum/magnum.sqlite"
  env -i $(svc_env) "$PY" -c "import sqlalchemy, sys; from magnum.db.sqlalchemy import models; models.Base.metadata.create_all(sqlalchemy.create_engine(sys.argv[1]))" "$(db_url "$D/data/magnum/magnum.sqlite")"
  env -i $(svc_env) "$D/bin/magnum-db-manage" --config-file "$D/etc/magnum/magnum.conf" stamp head
}

prepare_extras() {
  mkdir -p "$D/data/barbican" "$D/data/heat" "$D/data/ironic" "$D/data/aodh" "$D/data/manila" "$D/data/magnum"
  # simple_crypto's key-encryption key: random per cloud, kept with it.
  [ -s "$D/data/barbican/kek" ] || head -c 32 /dev/urandom | base64 >"$D/data/barbican/kek"
  wrapper heat-api heat.cmd.api
  wrapper heat-engine heat.cmd.engine
  wrapper heat-manage heat.cmd.manage
  wrapper ironic-api ironic.cmd.api
  wrapper ironic-conductor ironic.cmd.conductor
  wrapper ironic-dbsync ironic.cmd.dbsync
  wrapper aodh-dbsync aodh.cmd.storage dbsync
  if [ "$KVN_CLOUD_MANILA" = 1 ]; then
    for s in api scheduler share manage; do wrapper "manila-$s" "manila.cmd.$s"; done
  fi
  wrapper magnum-api magnum.cmd.api
  wrapper magnum-conductor magnum.cmd.conductor
  wrapper magnum-db-manage magnum.cmd.db_manage
  write_extra_configs
}

start_extras() {
  start_service heat-api -- "$D/bin/heat-api" --config-file "$D/etc/heat/heat.conf" --log-file "$LOG/heat-api.log"
  start_service heat-engine -- "$D/bin/heat-engine" --config-file "$D/etc/heat/heat.conf" --log-file "$LOG/heat-engine.log"
  start_service barbican HOME="$BARBICAN_HOME" -- /usr/bin/uwsgi --ini "$D/etc/barbican/uwsgi.ini"
  start_service ironic-api -- "$D/bin/ironic-api" --config-file "$D/etc/ironic/ironic.conf" --log-file "$LOG/ironic-api.log"
  start_service ironic-conductor -- "$D/bin/ironic-conductor" --config-file "$D/etc/ironic/ironic.conf" --log-file "$LOG/ironic-conductor.log"
  start_service aodh HOME="$AODH_HOME" -- /usr/bin/uwsgi --ini "$D/etc/aodh/uwsgi.ini"
  local s
  if [ "$KVN_CLOUD_MANILA" = 1 ]; then
    for s in api scheduler share; do
      start_service "manila-$s" -- "$D/bin/manila-$s" --config-file "$D/etc/manila/manila.conf" --log-file "$LOG/manila-$s.log"
    done
  fi
  start_service magnum-api -- "$D/bin/magnum-api" --config-file "$D/etc/magnum/magnum.conf" --log-file "$LOG/magnum-api.log"
  start_service magnum-conductor -- "$D/bin/magnum-conductor" --config-file "$D/etc/magnum/magnum.conf" --log-file "$LOG/magnum-conductor.log"
}

wait_extras() {
  wait_http heat-api http://127.0.0.1:8004/
  wait_http barbican http://127.0.0.1:9311/
  wait_http ironic-api http://127.0.0.1:6385/
  wait_http aodh http://127.0.0.1:8042/
  wait_http magnum-api http://127.0.0.1:9511/
  check_alive heat-engine
  check_alive ironic-conductor
  check_alive magnum-conductor
  [ "$KVN_CLOUD_MANILA" = 1 ] || return 0
  wait_http manila-api http://127.0.0.1:8786/
  # Like cinder's, manila's scheduler needs the share service's first report.
  local i
  for ((i = 0; ; i++)); do
    pyhelper pools-ready manila >/dev/null 2>&1 && break
    check_alive manila-share
    check_alive manila-scheduler
    [ $i -lt 60 ] || fail manila-scheduler "no share pool reported within 120 s"
    sleep 2
  done
}
