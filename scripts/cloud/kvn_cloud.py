#!/usr/bin/python3
"""Helpers of the local cloud's start script that are easier in Python:
Keystone registration, seeding, Neutron's schema, the fake Open vSwitch
agent and the Swift server runner.

Every registration and seed step finds before it creates, so running it
again against a running cloud changes nothing.
"""
import os
import sys
import time

CLOUD_DIR = os.environ.get('KVN_CLOUD_DIR', '/tmp/kvn-cloud')
AUTH_URL = 'http://127.0.0.1:5000/v3'
REGION = 'RegionOne'
# The same services behind one TLS front, each under a path prefix, as real
# clouds publish them; registered as a second region so both layouts answer.
FRONT_URL = 'https://127.0.0.1:8443'
FRONT_REGION = 'RegionTLS'
# Catalog type -> the front's path prefix for it.
FRONT_PREFIX = {
    'identity': '/identity',
    'image': '/image',
    'placement': '/placement',
    'compute': '/compute',
    'network': '/network',
    'volumev3': '/volume',
    'object-store': '/object-store',
    'orchestration': '/orchestration',
    'key-manager': '/key-manager',
    'baremetal': '/baremetal',
    'alarming': '/alarming',
    'container-infra': '/container-infra',
    'sharev2': '/share',
    'load-balancer': '/load-balancer',
    'dns': '/dns',
    'metric': '/metric',
    'workflowv2': '/workflow',
    'clustering': '/clustering',
    'database': '/database',
    'infra-optim': '/resource-optimization',
    'rating': '/rating',
    'instance-ha': '/instance-ha',
    'container': '/container',
}
IDENTITY_URL = 'http://127.0.0.1:5000/v3/'
HOST = 'kvn-cloud'
ADMIN_PASSWORD = 'admin-password'
DEMO_PASSWORD = 'demo-password'
SERVICE_PASSWORD = 'service-password'

# name, type, url (the same for public, internal and admin)
SERVICES = [
    ('glance', 'image', 'http://127.0.0.1:9292'),
    ('placement', 'placement', 'http://127.0.0.1:8778'),
    ('nova', 'compute', 'http://127.0.0.1:8774/v2.1'),
    ('neutron', 'network', 'http://127.0.0.1:9696'),
    ('cinderv3', 'volumev3', 'http://127.0.0.1:8776/v3/%(project_id)s'),
    ('swift', 'object-store', 'http://127.0.0.1:8080/v1/AUTH_%(project_id)s'),
    # A stand-in for the console endpoints only (container_standin.py).
    ('zun', 'container', 'http://127.0.0.1:9517/v1'),
]
SERVICE_USERS = ['glance', 'placement', 'nova', 'neutron', 'cinder', 'swift']
# The extra services by the name the start script knows them by; each has
# a service user of that name.
EXTRA_SERVICES = {
    'heat': [('heat', 'orchestration',
              'http://127.0.0.1:8004/v1/%(project_id)s')],
    'barbican': [('barbican', 'key-manager', 'http://127.0.0.1:9311')],
    'ironic': [('ironic', 'baremetal', 'http://127.0.0.1:6385')],
    'aodh': [('aodh', 'alarming', 'http://127.0.0.1:8042')],
    'magnum': [('magnum', 'container-infra', 'http://127.0.0.1:9511/v1')],
    'manila': [('manilav2', 'sharev2',
                'http://127.0.0.1:8786/v2/%(project_id)s')],
    'octavia': [('octavia', 'load-balancer', 'http://127.0.0.1:9876')],
    'designate': [('designate', 'dns', 'http://127.0.0.1:9001')],
    'gnocchi': [('gnocchi', 'metric', 'http://127.0.0.1:8041')],
    'mistral': [('mistral', 'workflowv2', 'http://127.0.0.1:8989/v2')],
    'senlin': [('senlin', 'clustering', 'http://127.0.0.1:8777')],
    'trove': [('trove', 'database',
               'http://127.0.0.1:8779/v1.0/%(project_id)s')],
    'watcher': [('watcher', 'infra-optim', 'http://127.0.0.1:9322')],
    'cloudkitty': [('cloudkitty', 'rating', 'http://127.0.0.1:8889')],
    'masakari': [('masakari', 'instance-ha',
                  'http://127.0.0.1:15868/v1/%(project_id)s')],
}


def connect(user='admin', project='admin', password=ADMIN_PASSWORD):
    import openstack
    return openstack.connect(
        auth_url=AUTH_URL, username=user, password=password,
        project_name=project, user_domain_name='Default',
        project_domain_name='Default', region_name=REGION,
        identity_api_version='3')


def _project(conn, name, description):
    p = conn.identity.find_project(name, domain_id='default')
    return p or conn.identity.create_project(
        name=name, domain_id='default', description=description)


def _user(conn, name, password, project):
    u = conn.identity.find_user(name, domain_id='default')
    return u or conn.identity.create_user(
        name=name, password=password, domain_id='default',
        default_project_id=project.id)


def _role(conn, name):
    r = conn.identity.find_role(name)
    return r or conn.identity.create_role(name=name)


def _grant(conn, user, project, role):
    conn.grant_role(role.name, user=user.id, project=project.id)


def register(extras):
    """The core services and the test users, or else the named extra
    services."""
    conn = connect()
    services, users = SERVICES, SERVICE_USERS
    if extras:
        services = [s for x in extras for s in EXTRA_SERVICES[x]]
        users = list(extras)
    roles = {n: _role(conn, n) for n in
             ('admin', 'member', 'reader', 'service', 'ResellerAdmin',
              'load-balancer_member')}
    service = _project(conn, 'service', 'OpenStack services')
    for name in users:
        u = _user(conn, name, SERVICE_PASSWORD, service)
        _grant(conn, u, service, roles['admin'])
        _grant(conn, u, service, roles['service'])
    for pname in ('demo', 'alt_demo') if not extras else ():
        p = _project(conn, pname, 'non-admin test project')
        u = _user(conn, pname, DEMO_PASSWORD, p)
        for r in ('member', 'reader', 'load-balancer_member'):
            _grant(conn, u, p, roles[r])
    existing = {(s.name, s.type): s for s in conn.identity.services()}
    for name, stype, url in services:
        s = existing.get((name, stype)) or conn.identity.create_service(
            name=name, type=stype, is_enabled=True)
        _endpoints(conn, s, REGION, url)
    if 'magnum' in extras:
        # Magnum's trustee domain, which its policy checks look up.
        dom = conn.identity.find_domain('magnum') or \
            conn.identity.create_domain(name='magnum',
                                        description='magnum trustees')
        adm = conn.identity.find_user('magnum_domain_admin', domain_id=dom.id)
        if not adm:
            adm = conn.identity.create_user(
                name='magnum_domain_admin', password=SERVICE_PASSWORD,
                domain_id=dom.id)
        conn.grant_role('admin', user=adm.id, domain=dom.id)
    print('register: identity ready for %s' % (' '.join(extras) or 'the core'))


def _endpoints(conn, service, region, url):
    have = {e.interface for e in conn.identity.endpoints(service_id=service.id)
            if e.region_id == region}
    for iface in ('public', 'internal', 'admin'):
        if iface not in have:
            conn.identity.create_endpoint(
                service_id=service.id, interface=iface, url=url,
                region_id=region, is_enabled=True)


def front_url(stype, url):
    """A plain endpoint's URL as the front publishes it: the service's
    prefix instead of its port, the path after it kept."""
    rest = url.split('://', 1)[1]
    path = rest[rest.find('/'):] if '/' in rest else ''
    return FRONT_URL + FRONT_PREFIX[stype] + path


def _front_services(extras):
    rows = [('keystone', 'identity', IDENTITY_URL)] + SERVICES
    return rows + [r for x in extras for r in EXTRA_SERVICES[x]]


def register_front(extras):
    """The services of the core (none named) or the named extras again,
    behind the front, in their own region."""
    conn = connect()
    if not conn.identity.find_region(FRONT_REGION):
        conn.identity.create_region(
            id=FRONT_REGION, description='the same services behind the TLS front')
    existing = {s.type: s for s in conn.identity.services()}
    rows = _front_services([]) if not extras else \
        [r for x in extras for r in EXTRA_SERVICES[x]]
    for name, stype, url in rows:
        _endpoints(conn, existing[stype], FRONT_REGION, front_url(stype, url))
    print('register-front: %s in %s' % (' '.join(extras) or 'the core',
                                        FRONT_REGION))


def front_locations(extras):
    """Prints "PREFIX PORT" for each service the front proxies."""
    for name, stype, url in _front_services(extras):
        port = url.split('://', 1)[1].split('/', 1)[0].rsplit(':', 1)[1]
        print(FRONT_PREFIX[stype], port)


def make_front_certs(folder):
    """A test-only CA and the front's server certificate (127.0.0.1 and
    localhost) signed by it."""
    import datetime
    import ipaddress
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
    os.makedirs(folder, exist_ok=True)
    ca_cert, ca_key = os.path.join(folder, 'ca.pem'), os.path.join(folder, 'ca.key')
    make_ca(ca_cert, ca_key)
    with open(ca_key, 'rb') as f:
        issuer_key = serialization.load_pem_private_key(f.read(), None)
    with open(ca_cert, 'rb') as f:
        issuer = x509.load_pem_x509_certificate(f.read())
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(
                NameOID.COMMON_NAME, '127.0.0.1')]))
            .issuer_name(issuer.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=825))
            .add_extension(x509.SubjectAlternativeName([
                x509.IPAddress(ipaddress.ip_address('127.0.0.1')),
                x509.DNSName('localhost')]), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None),
                           critical=True)
            .add_extension(x509.ExtendedKeyUsage(
                [ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .sign(issuer_key, hashes.SHA256()))
    fd = os.open(os.path.join(folder, 'server.key'),
                 os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, 'wb') as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(os.path.join(folder, 'server.pem'), 'wb') as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    print('front certificate written to %s' % folder)


FLAVORS = [  # name, ram MiB, vcpus, disk GiB
    ('m1.nano', 128, 1, 1),
    ('m1.tiny', 512, 1, 1),
    ('m1.small', 2048, 1, 20),
    ('m1.medium', 4096, 2, 40),
]


def _image(conn, name, data, props):
    img = conn.image.find_image(name)
    if img and img.status == 'active':
        return img
    if img:  # a half-made image from an interrupted run
        conn.image.delete_image(img)
    path = os.path.join(CLOUD_DIR, 'data', name + '.img')
    with open(path, 'wb') as f:
        f.write(data)
    img = conn.image.create_image(
        name=name, disk_format='raw', container_format='bare',
        visibility='public', **props)
    with open(path, 'rb') as f:
        img.data = f.read()
    img.upload(conn.image)
    return conn.image.get_image(img)


def seed():
    conn = connect()
    for name, ram, vcpus, disk in FLAVORS:
        if not conn.compute.find_flavor(name):
            conn.compute.create_flavor(name=name, ram=ram, vcpus=vcpus,
                                       disk=disk, is_public=True)
    _image(conn, 'cirros-fake', b'\0' * (1 << 20), {})
    # A second, differently shaped image: not all zeros, with the metadata
    # that container-engine templates look for.
    _image(conn, 'fedora-coreos-fake',
           bytes(range(256)) * 2048, {'os_distro': 'fedora-coreos'})

    public = conn.network.find_network('public')
    if not public:
        public = conn.network.create_network(
            name='public', is_router_external=True, is_shared=False,
            provider_network_type='flat', provider_physical_network='public')
    if not conn.network.find_subnet('public-subnet'):
        # A documentation range: no packet ever leaves, the addresses only
        # live in Neutron's database.
        conn.network.create_subnet(
            name='public-subnet', network_id=public.id, ip_version=4,
            cidr='203.0.113.0/24', gateway_ip='203.0.113.1',
            is_dhcp_enabled=False,
            allocation_pools=[{'start': '203.0.113.10',
                               'end': '203.0.113.250'}])

    demo = connect('demo', 'demo', DEMO_PASSWORD)
    demo_project = demo.current_project_id
    private = demo.network.find_network('private', project_id=demo_project)
    if not private:
        private = demo.network.create_network(name='private')
    subnet = demo.network.find_subnet('private-subnet',
                                      project_id=demo_project)
    if not subnet:
        subnet = demo.network.create_subnet(
            name='private-subnet', network_id=private.id, ip_version=4,
            cidr='10.0.0.0/24', is_dhcp_enabled=False)
    router = demo.network.find_router('router1', project_id=demo_project)
    if not router:
        router = demo.network.create_router(
            name='router1', external_gateway_info={'network_id': public.id})
    ports = demo.network.ports(device_id=router.id,
                               device_owner='network:router_interface')
    if not any(p.fixed_ips and p.fixed_ips[0]['subnet_id'] == subnet.id
               for p in ports):
        demo.network.add_interface_to_router(router, subnet_id=subnet.id)
    if not demo.compute.find_keypair('demo-key'):
        with open(os.path.join(CLOUD_DIR, 'demo-key.pub')) as f:
            demo.compute.create_keypair(name='demo-key',
                                        public_key=f.read().strip())
    print('seed: flavors, images, networks, router1, demo-key ready')


def seed_manila():
    conn = connect()
    url = 'http://127.0.0.1:8786/v2/%s/types' % conn.current_project_id
    hdr = {'X-OpenStack-Manila-API-Version': '2.50'}
    types = conn.session.get(url, headers=hdr).json()['share_types']
    # The dummy driver snapshots; a share of a type that does not ask for
    # it refuses every snapshot.
    specs = {'snapshot_support': 'True',
             'create_share_from_snapshot_support': 'True'}
    default = [t for t in types if t['name'] == 'default']
    if not default:
        specs['driver_handles_share_servers'] = False
        conn.session.post(url, headers=hdr, json={'share_type': {
            'name': 'default', 'share_type_access:is_public': True,
            'extra_specs': specs}})
    elif any(default[0].get('extra_specs', {}).get(k) != v
             for k, v in specs.items()):
        conn.session.post('%s/%s/extra_specs' % (url, default[0]['id']),
                          headers=hdr, json={'extra_specs': specs})
    print('seed: share type default ready')


def make_ca(cert_path, key_path):
    """A self-signed certificate authority, valid ten years, for services
    that sign certificates of their own (Octavia's amphorae)."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import NameOID
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME,
                                         'kvn-cloud test-only CA')])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None),
                           critical=True)
            .sign(key, hashes.SHA256()))
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, 'wb') as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(cert_path, 'wb') as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    print('CA written to %s' % cert_path)


def agent_alive():
    conn = connect()
    agents = list(conn.network.agents(host=HOST))
    ok = any(a.is_alive for a in agents)
    print('alive' if ok else 'down')
    return 0 if ok else 1


def compute_ready():
    """The compute host is up in nova and mapped to cell1."""
    conn = connect()
    svcs = [s for s in conn.compute.services(binary='nova-compute')
            if s.state == 'up']
    hyps = list(conn.compute.hypervisors())
    ok = bool(svcs) and bool(hyps)
    print('ready' if ok else 'not ready')
    return 0 if ok else 1


def admin_token():
    """A token of the admin project and the project's id, for the start
    script's readiness polls."""
    conn = connect()
    print(conn.session.get_token(), conn.current_project_id)
    return 0


def pools_ready(service):
    """The service's scheduler knows at least one pool (cinder's volume or
    manila's share service has reported in), so it can place a request."""
    conn = connect()
    pid = conn.current_project_id
    url = {
        'cinder': 'http://127.0.0.1:8776/v3/%s/scheduler-stats/get_pools',
        'manila': 'http://127.0.0.1:8786/v2/%s/scheduler-stats/pools',
    }[service] % pid
    try:
        pools = conn.session.get(url).json().get('pools', [])
    except Exception as e:  # the API or the scheduler behind it is not up
        print('no answer: %s' % e)
        return 1
    print('ready' if pools else 'no pools')
    return 0 if pools else 1


def neutron_schema(url):
    """Alembic's migrations alter constraints, which SQLite cannot do; the
    schema is built from the models instead and then stamped at head."""
    import sqlalchemy
    from neutron.db.migration.models import head
    engine = sqlalchemy.create_engine(url)
    head.get_metadata().create_all(engine)
    print('neutron schema created')


def octavia_schema(url):
    """Octavia's migrations only run on MySQL (they drop a constraint named
    PRIMARY): the schema comes from the models, and the lookup tables and
    placeholder rows the migrations would have written are added here."""
    import sqlalchemy
    from sqlalchemy import orm
    from octavia.common import constants as c
    from octavia.db import base_models, models as m
    engine = sqlalchemy.create_engine(url)
    base_models.BASE.metadata.create_all(engine)
    lookups = [
        (c.SUPPORTED_PROVISIONING_STATUSES, m.ProvisioningStatus),
        (c.SUPPORTED_HEALTH_MONITOR_TYPES, m.HealthMonitorType),
        (c.SUPPORTED_LB_ALGORITHMS, m.Algorithm),
        (c.SUPPORTED_PROTOCOLS, m.Protocol),
        (c.SUPPORTED_OPERATING_STATUSES, m.OperatingStatus),
        (c.SUPPORTED_SP_TYPES, m.SessionPersistenceType),
        (c.SUPPORTED_AMPHORA_ROLES, m.AmphoraRoles),
        (c.SUPPORTED_LB_TOPOLOGIES, m.LBTopology),
        (c.SUPPORTED_VRRP_AUTH, m.VRRPAuthMethod),
        (c.SUPPORTED_L7RULE_TYPES, m.L7RuleType),
        (c.SUPPORTED_L7RULE_COMPARE_TYPES, m.L7RuleCompareType),
        (c.SUPPORTED_L7POLICY_ACTIONS, m.L7PolicyAction),
        (c.SUPPORTED_CLIENT_AUTH_MODES, m.ClientAuthenticationMode),
    ]
    with orm.Session(engine) as s:
        for names, cls in lookups:
            have = {r.name for r in s.query(cls)}
            s.add_all(cls(name=n) for n in names if n not in have)
        s.flush()
        # Load balancers whose flavor or zone was deleted point at these.
        if not s.get(m.FlavorProfile, c.NIL_UUID):
            s.add(m.FlavorProfile(
                id=c.NIL_UUID, name='DELETED-PLACEHOLDER',
                provider_name=c.DELETED, flavor_data='{}'))
            s.flush()
            s.add(m.Flavor(
                id=c.NIL_UUID, flavor_profile_id=c.NIL_UUID,
                name='DELETED-PLACEHOLDER', enabled=False,
                description='Placeholder for DELETED LBs with DELETED '
                            'flavors'))
        if not s.get(m.AvailabilityZoneProfile, c.NIL_UUID):
            s.add(m.AvailabilityZoneProfile(
                id=c.NIL_UUID, name='DELETED-PLACEHOLDER',
                provider_name=c.DELETED, availability_zone_data='{}'))
            s.flush()
            s.add(m.AvailabilityZone(
                availability_zone_profile_id=c.NIL_UUID, name=c.NIL_UUID,
                enabled=False,
                description='Placeholder for DELETED LBs with DELETED '
                            'availability zones'))
        s.commit()
    print('octavia schema created')


def fake_agent(conf_files):
    """Reports an Open vSwitch agent's state on this host so that ML2's
    openvswitch mechanism driver binds ports. There is no data plane."""
    import eventlet
    eventlet.monkey_patch()
    from oslo_config import cfg
    from neutron.common import config as common_config
    from neutron.conf.agent import common as agent_conf
    from neutron.agent import rpc as agent_rpc
    from neutron_lib.agent import topics
    from neutron_lib import context
    from oslo_log import log as logging
    logging.register_options(cfg.CONF)
    # Also sets the control exchange to neutron's: without it the reports
    # go to an exchange nobody listens on.
    common_config.register_common_config_options()
    agent_conf.register_agent_state_opts_helper(cfg.CONF)
    args = []
    for c in conf_files:
        args += ['--config-file', c]
    args += ['--log-file',
             os.path.join(CLOUD_DIR, 'log', 'neutron-fake-agent.log')]
    common_config.init(args)
    common_config.setup_logging()
    rpc = agent_rpc.PluginReportStateAPI(topics.REPORTS)
    ctx = context.get_admin_context_without_session()
    state = {
        'binary': 'neutron-openvswitch-agent',
        'host': HOST,
        'topic': 'N/A',
        'agent_type': 'Open vSwitch agent',
        'start_flag': True,
        'configurations': {
            'bridge_mappings': {'public': 'br-ex'},
            'tunnel_types': ['vxlan'],
            'tunneling_ip': '127.0.0.1',
            'integration_bridge': 'br-int',
            'ovs_hybrid_plug': False,
            'datapath_type': 'system',
            'devices': 0,
        },
    }
    while True:
        try:
            rpc.report_state(ctx, state, use_call=True)
            state.pop('start_flag', None)
            print('reported state', flush=True)
        except Exception as e:  # the server may still be starting
            print('report failed: %s' % e, flush=True)
        time.sleep(15 if 'start_flag' not in state else 3)


def swift_server(swift_dir, name, conf):
    """Runs one Swift server in the foreground with its config folder
    instead of the hard-coded /etc/swift."""
    from swift.common import utils
    utils.set_swift_dir(swift_dir)
    if name == 'container-updater':
        from swift.common.daemon import run_daemon
        from swift.container.updater import ContainerUpdater
        run_daemon(ContainerUpdater, conf, verbose=True)
        return 0
    from swift.common.wsgi import run_wsgi
    return run_wsgi(conf, name, verbose=True)


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ''
    if cmd == 'register':
        return register(argv[2:])
    if cmd == 'register-front':
        return register_front(argv[2:])
    if cmd == 'front-locations':
        return front_locations(argv[2:])
    if cmd == 'make-front-certs':
        return make_front_certs(argv[2])
    if cmd == 'seed':
        return seed()
    if cmd == 'seed-manila':
        return seed_manila()
    if cmd == 'make-ca':
        return make_ca(argv[2], argv[3])
    if cmd == 'admin-token':
        return admin_token()
    if cmd == 'agent-alive':
        return agent_alive()
    if cmd == 'pools-ready':
        return pools_ready(argv[2])
    if cmd == 'compute-ready':
        return compute_ready()
    if cmd == 'octavia-schema':
        return octavia_schema(argv[2])
    if cmd == 'neutron-schema':
        return neutron_schema(argv[2])
    if cmd == 'fake-agent':
        return fake_agent(argv[2:])
    if cmd == 'swift-server':
        return swift_server(argv[2], argv[3], argv[4])
    print('usage: kvn_cloud.py register [SERVICE...]|'
          'register-front [SERVICE...]|front-locations [SERVICE...]|'
          'make-front-certs DIR|seed|seed-manila|'
          'make-ca CERT KEY|admin-token|agent-alive|compute-ready|'
          'pools-ready cinder|manila|'
          'neutron-schema URL|octavia-schema URL|fake-agent CONF...|swift-server DIR NAME CONF',
          file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv) or 0)
