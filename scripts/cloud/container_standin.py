#!/usr/bin/python3
"""Stand-in for the container service's console endpoints.

The container service (Zun) is not packaged for Debian 12, and a real one
would need a container engine. The console window only needs three of its
calls: attach, execute (interactive, not run) and the two resizes. This
server answers them as the API reference describes, for one container that
always runs, and hands out addresses of the cloud's console server (a real
bash under a pseudo-terminal, tests/ws_server.py on port 6083), which also
stands in for Nova's serial console proxy.

Every call is written to standard output (the cloud's log folder), so tests
can see the resizes the client sent. A request without a token is refused
with 401, as the real service does; the token is not checked further.
"""
import http.server
import json
import secrets
import sys
import urllib.parse

PORT = 9517
CONSOLE = 'ws://127.0.0.1:6083/console'
CONTAINER = {
    'uuid': '6a1e0c5e-7d0c-4f6e-9c1b-5a7f1f3e2b10',
    'name': 'console-stand-in',
    'status': 'Running',
    'status_reason': None,
    'image': 'debian:bookworm',
    'command': ['/bin/bash'],
    'interactive': True,
    'tty': True,
    'cpu': 1.0,
    'memory': '512M',
    'host': 'kvn-cloud',
    'addresses': {},
    'labels': {},
    'links': [],
}


def log(text):
    print(text, flush=True)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body=None):
        data = b'' if body is None else json.dumps(body).encode()
        self.send_response(status)
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(data)))
        self.send_header('OpenStack-API-Version', 'container 1.12')
        self.end_headers()
        self.wfile.write(data)

    def route(self, method):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = [p for p in url.path.split('/') if p]
        if parts and parts[0] == 'v1':
            parts = parts[1:]
        if not parts and method == 'GET':
            return self.answer(200, {'versions': [{'id': 'v1', 'status': 'CURRENT',
                                                   'max_version': '1.12', 'min_version': '1.1'}]})
        if not self.headers.get('X-Auth-Token'):
            return self.answer(401, {'error': {'message': 'The request you have made requires authentication.',
                                               'code': 401}})
        if parts == ['containers'] and method == 'GET':
            return self.answer(200, {'containers': [CONTAINER], 'next': None})
        if len(parts) < 2 or parts[0] != 'containers':
            return self.answer(404, {'errors': [{'status': 404, 'title': 'Not Found'}]})
        if parts[1] not in (CONTAINER['uuid'], CONTAINER['name']):
            return self.answer(404, {'errors': [{'status': 404, 'title': 'Not Found',
                                                 'detail': 'Container %s could not be found.' % parts[1]}]})
        action = parts[2] if len(parts) > 2 else ''
        one = lambda k: (query.get(k) or [''])[0]
        if action == '' and method == 'GET':
            return self.answer(200, CONTAINER)
        if action == 'attach' and method == 'GET':
            log('attach %s' % parts[1])
            return self.answer(200, '%s?token=%s' % (CONSOLE, secrets.token_hex(16)))
        if action == 'execute' and method == 'POST':
            log('execute %s run=%s interactive=%s command=%s' % (parts[1], one('run'), one('interactive'),
                                                                 one('command')))
            if one('run') == 'false' and one('interactive') == 'true':
                return self.answer(200, {'output': None, 'exit_code': None, 'exec_id': secrets.token_hex(8),
                                         'proxy_url': '%s?token=%s' % (CONSOLE, secrets.token_hex(16))})
            return self.answer(200, {'output': '', 'exit_code': 0, 'exec_id': None, 'proxy_url': None})
        if action in ('resize', 'execute_resize') and method == 'POST':
            w, h = one('w'), one('h')
            if not (w.isdigit() and h.isdigit()) or (action == 'execute_resize' and not one('exec_id')):
                return self.answer(400, {'errors': [{'status': 400, 'title': 'Bad Request'}]})
            log('%s %s exec_id=%s w=%s h=%s' % (action, parts[1], one('exec_id'), w, h))
            return self.answer(200, None)
        return self.answer(405, {'errors': [{'status': 405, 'title': 'Method Not Allowed'}]})

    def do_GET(self):
        self.route('GET')

    def do_POST(self):
        length = int(self.headers.get('Content-Length') or 0)
        if length:
            self.rfile.read(length)
        self.route('POST')


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else PORT
    server = http.server.ThreadingHTTPServer(('127.0.0.1', port), Handler)
    server.daemon_threads = True
    log('container stand-in on 127.0.0.1:%d' % port)
    server.serve_forever()


if __name__ == '__main__':
    main()
