// Another site's page can neither drive the desktop nor read the screen, nor can a request under a
// name this machine does not go by; the same move from curl, which sends no Origin, is done.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { execFileSync } from 'node:child_process';
import { session, pointer, xdotool, ORIGIN } from './harness.mjs';

// Another site, with a page of its own open.
const server = createServer((request, response) => response.end('<!doctype html><title>elsewhere</title>'));
let foreignOrigin, foreign;
const s = session({ layout: '' }, async () => {
  await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
  foreignOrigin = `http://127.0.0.1:${server.address().port}`;
  foreign = await s.browser.newPage();
  await foreign.goto(foreignOrigin + '/');
});
after(() => server.close());

// What a page does with the host: a POST move, a WebSocket move, the first bytes of the stream.
const attempts = {
  post: url => fetch(url + '/move', { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: '{"x":30,"y":20}' })
    .then(r => r.status, e => 'failed: ' + e.message),
  webSocket: url => new Promise(resolve => {
    const ws = new WebSocket(url.replace('http', 'ws') + '/ws');
    ws.onopen = () => { ws.send('{"action":"move","x":30,"y":20}'); ws.close(); resolve('open'); };
    ws.onerror = () => resolve('failed');
  }),
  stream: url => fetch(url + '/screen.mjpg').then(async r => {
    const { value } = await r.body.getReader().read();
    return 'read ' + value.length;
  }, e => 'failed: ' + e.message),
};

test("another site's page cannot move the pointer or read the screen", async () => {
  xdotool(s.display, 'mousemove', '500', '500');
  for (const [name, attempt] of Object.entries(attempts)) {
    const result = await foreign.evaluate(`(${attempt})(${JSON.stringify(ORIGIN)})`);
    assert.match(String(result), /^failed/, name);
  }
  await s.host.waitForOutput(`Origin ${foreignOrigin}`);
  for (const route of ['POST /move', 'GET /ws', 'GET /screen.mjpg'])
    await s.host.waitForOutput(`Refused ${route} from another site: Origin ${foreignOrigin}`);
  assert.deepEqual(pointer(s.display), { x: 500, y: 500 });
});

test('a Host name this machine does not go by is refused on every route', () => {
  for (const route of ['GET /', 'GET /manifest.json', 'GET /service-worker.js', 'GET /icon-192.png', 'GET /screen.mjpg',
    'GET /screen.mjpg?screen=true', 'GET /screen.mp4', 'GET /ws', 'POST /move', 'OPTIONS /move']) {
    const [method, path] = route.split(' ');
    const status = execFileSync('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', '--max-time', '10',
      '-X', method, '-H', 'Host: rebind.example:8096', ...(path === '/ws' ? ['-H', 'Upgrade: websocket'] : []),
      ORIGIN + path]).toString();
    assert.equal(status, '403', route);
  }
  assert.deepEqual(pointer(s.display), { x: 500, y: 500 });
  execFileSync('curl', ['-s', '-H', 'Content-Type: text/plain', '-d', '{"x":30,"y":20}', ORIGIN + '/move']);
  assert.deepEqual(pointer(s.display), { x: 530, y: 520 });
});
