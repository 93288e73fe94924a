// A browser's own WebSocket drives the host's pointer and keyboard on a real X server.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { startXvfb, startHost, startBrowser, stopAll, pointer, xdotool, ORIGIN } from './harness.mjs';

after(stopAll);

test('move, click and key messages from Chromium reach the desktop', async () => {
  const display = await startXvfb();
  const host = await startHost(display);
  xdotool(display, 'mousemove', '500', '400');
  const browser = await startBrowser();
  const page = await browser.newPage();
  await page.goto(ORIGIN + '/');

  await page.evaluate(async () => {
    const socket = new WebSocket('ws://127.0.0.1:8096/');
    await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
    const send = message => socket.send(JSON.stringify(message));
    send({ action: 'move', x: 7, y: -3 });
    send({ action: 'click', button: 'left' });
    send({ action: 'keydown', key: 'a' });
    send({ action: 'keyup', key: 'a' });
    send({ action: 'log', text: 'from the browser' });
    window.testSocket = socket;
  });
  await host.waitForOutput('from the browser\n');

  assert.deepEqual(pointer(display), { x: 507, y: 397 });
  const output = host.output();
  assert.match(output, /WebSocket upgrade request detected\n/);
  assert.match(output, /WebSocket handshake complete\n/);
  assert.match(output, /\n\nws click left\n/);
  assert.match(output, /ws keydown a\nws keyup a\n/);
});
