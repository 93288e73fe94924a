// A host started with --pair: its printed link pairs the app by itself; without the key the app
// is told to pair and achieves nothing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { session, openApp, logged, connected, showsPicture, pointer, xdotool, waitFor, LAN_ORIGIN } from './harness.mjs';

const s = session({ layout: '', host: { args: ['--pair'], env: { XDG_CONFIG_HOME: mkdtempSync(join(tmpdir(), 'tovel-pairing-')) } } });

test('the printed link pairs the app, which drives the pointer and shows both screen views', async () => {
  const key = /Tovel App Local Link: http:\/\/[^/]+:8096\?url=\/#key=([A-Za-z0-9_-]+)\n/.exec(s.host.output())?.[1];
  assert.ok(key && key.length >= 22, `the local link carries the key: ${s.host.output()}`);
  const page = await openApp(s.browser, { path: `/?url=/#key=${key}` });
  assert.equal(new URL(page.url()).hash, '', 'the key leaves the address bar');
  assert.equal(await page.isHidden('#pairHint'), true);
  xdotool(s.display, 'mousemove', '400', '300');
  await page.evaluate(() => tovelApp.send({ action: 'move', x: 30, y: 20 }));
  await logged(page, s.host, 'paired move sent');
  await waitFor(() => { const p = pointer(s.display); return p.x === 430 && p.y === 320; }, 20000, 'the pointer at 430,320');
  await showsPicture(page);
  // Reloaded without the fragment, the stored key still pairs it; now with the H.264 view.
  await page.evaluate(() => localStorage.setItem('tovel.settings', '{"stream":"h264"}'));
  await page.goto(`${LAN_ORIGIN}/`);
  await connected(page);
  // A still screen: the first picture decoded is what there is to see.
  await page.waitForFunction(() => { const v = document.querySelector('#video'); return !v.hidden && v.readyState >= 2 && v.videoWidth === 1920; },
    null, { timeout: 30000 });
  assert.equal(await page.evaluate(() => tovelApp.player()?.broken), false);
});

test('without the key the app asks the person to pair, and nothing it sends takes effect', async () => {
  const page = await openApp(s.browser, { wait: false });
  await page.waitForSelector('#pairHint:not([hidden])');
  assert.notEqual(await page.getAttribute('#status', 'data-state'), 'open');
  xdotool(s.display, 'mousemove', '400', '300');
  await page.evaluate(() => { tovelApp.send({ action: 'move', x: 30, y: 20 }); tovelApp.send({ action: 'log', text: 'unpaired log' }); });
  await page.waitForFunction(() => tovelApp.idle());
  await page.waitForFunction(() => !document.querySelector('#pairHint').hidden);
  assert.deepEqual(pointer(s.display), { x: 400, y: 300 });
  assert.ok(!s.host.output().includes('unpaired log'), 'the log command was refused');
  assert.match(s.host.output(), /Refused (GET|POST) \/\S* from 127\.0\.0\.1: no pairing key\n/);
  // A wrong key in the address does no better.
  await page.goto(`${LAN_ORIGIN}/?url=/#key=${'x'.repeat(32)}`);
  await page.waitForSelector('#pairHint:not([hidden])');
});
