// A host started with --pair, driven from the app the way a phone gets to it: the printed link
// opened under the machine's name pairs the page by itself, and a page without the key is told
// to pair and achieves nothing.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startXvfb, startHost, startBrowser, newPhone, connected, stopAll, pointer, xdotool, waitFor, LAN_ORIGIN } from './harness.mjs';

let display, host, browser, key;
before(async () => {
  display = await startXvfb();
  const config = mkdtempSync(join(tmpdir(), 'tovel-pairing-'));
  host = await startHost(display, { args: ['--pair'], env: { XDG_CONFIG_HOME: config } });
  await host.waitForOutput('Tovel App Local Link: ');
  key = /Tovel App Local Link: http:\/\/[^/]+:8096\?url=\/#key=([A-Za-z0-9_-]+)\n/.exec(host.output())?.[1];
  browser = await startBrowser();
});
after(stopAll);

// A move sent through the app, and whether the X pointer followed it.
async function moves(page) {
  xdotool(display, 'mousemove', '400', '300');
  await page.evaluate(() => tovelApp.send({ action: 'move', x: 30, y: 20 }));
  await page.waitForFunction(() => tovelApp.idle(), null, { timeout: 20000 });
  // The log line comes after the move on the same channel: once it is printed, the move is done.
  const marker = `pairing-check-${Date.now()}`;
  await page.evaluate(text => tovelApp.send({ action: 'log', text }), marker);
  await page.waitForFunction(() => tovelApp.idle(), null, { timeout: 20000 });
  return marker;
}

test('the printed link pairs the app, which drives the pointer and shows both screen views', async () => {
  assert.ok(key && key.length >= 22, `the local link carries the key: ${host.output()}`);
  const { context, page } = await newPhone(browser);
  await page.goto(`${LAN_ORIGIN}/?url=/#key=${key}`);
  await connected(page);
  assert.equal(new URL(page.url()).hash, '', 'the key leaves the address bar');
  assert.equal(await page.isHidden('#pairHint'), true);

  const marker = await moves(page);
  await host.waitForOutput(marker, 20000);
  await waitFor(() => { const p = pointer(display); return p.x === 430 && p.y === 320; }, 20000, 'the pointer at 430,320');

  await page.waitForFunction(() => document.querySelector('#mjpeg').naturalWidth > 0, null, { timeout: 20000 });
  // Reloaded without the fragment, the stored key still pairs it; now with the H.264 view.
  await page.evaluate(() => localStorage.setItem('tovel.settings', '{"stream":"h264"}'));
  await page.goto(`${LAN_ORIGIN}/`);
  await connected(page);
  // A still screen: the first picture decoded is what there is to see.
  await page.waitForFunction(() => { const v = document.querySelector('#video'); return !v.hidden && v.readyState >= 2 && v.videoWidth === 1920; },
    null, { timeout: 30000 });
  assert.equal(await page.evaluate(() => tovelApp.player()?.broken), false);
  await context.close();
});

test('without the key the app asks the person to pair, and nothing it sends takes effect', async () => {
  const { context, page } = await newPhone(browser);
  await page.goto(`${LAN_ORIGIN}/`);
  await page.waitForSelector('#pairHint:not([hidden])', { timeout: 20000 });
  assert.notEqual(await page.getAttribute('#status', 'data-state'), 'open');
  const marker = await moves(page);
  await page.waitForFunction(() => !document.querySelector('#pairHint').hidden, null, { timeout: 20000 });
  assert.deepEqual(pointer(display), { x: 400, y: 300 });
  assert.ok(!host.output().includes(marker), 'the log command was refused');
  assert.match(host.output(), /Refused (GET|POST) \/\S* from 127\.0\.0\.1: no pairing key\n/);
  // A wrong key in the address does no better.
  await page.goto(`${LAN_ORIGIN}/?url=/#key=${'x'.repeat(32)}`);
  await page.waitForSelector('#pairHint:not([hidden])', { timeout: 20000 });
  await context.close();
});
