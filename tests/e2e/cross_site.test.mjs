// Another site's page in the user's browser can neither drive the desktop nor read the screen;
// the host's own page and clients that send no Origin (curl) can.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { execFileSync } from 'node:child_process';
import { startXvfb, startHost, startBrowser, stopAll, pointer, xdotool, waitFor, LAN_ORIGIN, ORIGIN } from './harness.mjs';

let display, host, browser, foreignOrigin, foreign, own, server;

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

before(async () => {
  display = await startXvfb();
  host = await startHost(display);
  server = createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end('<!doctype html><title>elsewhere</title>');
  });
  await new Promise(resolve => server.listen(0, '127.0.0.1', resolve));
  foreignOrigin = `http://127.0.0.1:${server.address().port}`;
  browser = await startBrowser();
  foreign = await browser.newPage();
  await foreign.goto(foreignOrigin + '/');
  own = await browser.newPage();
  await own.goto(LAN_ORIGIN + '/manifest.json');
});
after(async () => { server?.close(); await stopAll(); });

test("another site's page cannot move the pointer or read the screen", async () => {
  xdotool(display, 'mousemove', '500', '500');
  for (const [name, attempt] of Object.entries(attempts)) {
    const result = await foreign.evaluate(`(${attempt})(${JSON.stringify(ORIGIN)})`);
    assert.match(String(result), /^failed/, name);
  }
  await host.waitForOutput(`Origin ${foreignOrigin}`);
  for (const route of ['POST /move', 'GET /ws', 'GET /screen.mjpg'])
    await host.waitForOutput(`Refused ${route} from another site: Origin ${foreignOrigin}`);
  assert.deepEqual(pointer(display), { x: 500, y: 500 });
});

test("the host's own page can, and so can curl", async () => {
  xdotool(display, 'mousemove', '500', '500');
  assert.equal(await own.evaluate(`(${attempts.post})(${JSON.stringify(LAN_ORIGIN)})`), 200);
  assert.deepEqual(pointer(display), { x: 530, y: 520 });
  assert.equal(await own.evaluate(`(${attempts.webSocket})(${JSON.stringify(LAN_ORIGIN)})`), 'open');
  await waitFor(() => pointer(display).x === 560 && pointer(display).y === 540, 10000, 'the WebSocket move');
  assert.match(await own.evaluate(`(${attempts.stream})(${JSON.stringify(LAN_ORIGIN)})`), /^read [1-9]/);
  execFileSync('curl', ['-s', '-d', '{"x":-60,"y":-40}', ORIGIN + '/move']);
  assert.deepEqual(pointer(display), { x: 500, y: 500 });
});

test('a Host name this machine does not go by is refused on every route', () => {
  const routes = [['GET', '/'], ['GET', '/manifest.json'], ['GET', '/service-worker.js'], ['GET', '/icon-192.png'],
    ['GET', '/screen.mjpg'], ['GET', '/screen.mjpg?screen=true'], ['GET', '/screen.mp4'], ['GET', '/ws'],
    ['POST', '/move'], ['OPTIONS', '/move']];
  for (const [method, path] of routes) {
    const status = execFileSync('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', '--max-time', '10',
      '-X', method, '-H', 'Host: rebind.example:8096', ...(path === '/ws' ? ['-H', 'Upgrade: websocket'] : []),
      ORIGIN + path]).toString();
    assert.equal(status, '403', `${method} ${path}`);
  }
  assert.deepEqual(pointer(display), { x: 500, y: 500 });
});
