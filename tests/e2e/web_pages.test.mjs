// The built-in guide page and the service worker, as a browser runs them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { session, ORIGIN } from './harness.mjs';

// On the virtual desktop, and with no app page beside the program, so "/" is the guide page.
const s = session({ host: { withoutPage: true } });

// The page's bytes are held by the C++ integration tests; here its script runs and its icon shows.
test('the guide page links to the app site with this page as its url parameter, under its icon', async () => {
  const page = await s.browser.newPage();
  await page.goto(ORIGIN + '/?url=/');
  const expected = 'https://tovel-app.invalid?url=' + encodeURIComponent(ORIGIN + '/?url=/');
  assert.equal(await page.getAttribute('#tovelLink', 'href'), expected);
  assert.equal(await page.inputValue('#inputLink'), expected);
  const icon = await page.evaluate(async () => {
    const image = document.querySelector('#tovelLink img');
    await image.decode();
    return [image.naturalWidth, image.naturalHeight];
  });
  assert.deepEqual(icon, [192, 192]);
});

test('the service worker answers page requests from the network and leaves POST and streams alone', async () => {
  const page = await s.browser.newPage();
  await page.goto(ORIGIN + '/');
  const caches = await page.evaluate(async () => {
    await navigator.serviceWorker.register('/service-worker.js');
    await navigator.serviceWorker.ready;
    if (!navigator.serviceWorker.controller)
      await new Promise(resolve => navigator.serviceWorker.addEventListener('controllerchange', resolve));
    const names = await window.caches.keys();
    return { names, kept: (await (await window.caches.open(names[0])).keys()).map(r => new URL(r.url).pathname).sort() };
  });
  assert.deepEqual(caches, { names: ['touchpad-cache-v8'], kept: ['/', '/icon-192.png', '/icon-512.png', '/manifest.json'] });

  for (const [path, init, fromWorker] of [['/manifest.json', undefined, true],
    ['/log', { method: 'POST', body: '{"text":"sw test"}' }, false], ['/screen.mjpg', undefined, false]]) {
    const [response] = await Promise.all([
      page.waitForResponse(r => new URL(r.url()).pathname === path && r.request().method() === (init?.method ?? 'GET')),
      page.evaluate(([p, i]) => fetch(p, i).then(r => r.status), [path, init]),
    ]);
    assert.equal(response.fromServiceWorker(), fromWorker, path);
  }
});
