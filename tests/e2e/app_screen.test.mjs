// The app's screen views against the host's ever-moving virtual desktop, and the page on a phone.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { session, openApp, showsPicture, playsVideo, screenshot, waitFor, requested, LAN_ORIGIN } from './harness.mjs';

const s = session();

// A small fingerprint of what the picture shows now.
const picture = page => page.evaluate(() => {
  const context = Object.assign(document.createElement('canvas'), { width: 64, height: 36 }).getContext('2d');
  context.drawImage(document.querySelector('#mjpeg'), 0, 0, 64, 36);
  return context.getImageData(0, 0, 64, 36).data.join(',');
});

test('the picture view shows the screen as it changes, and the page fits a phone both ways', async () => {
  for (const [name, viewport] of [['portrait', { width: 390, height: 844 }], ['landscape', { width: 844, height: 390 }]]) {
    const page = await openApp(s.browser, { viewport });
    await showsPicture(page);
    assert.match(await page.getAttribute('#mjpeg', 'src'), /^http:\/\/[^/]+:8096\/screen\.mjpg\?/);
    const first = await picture(page);
    await waitFor(async () => (await picture(page)) !== first, 20000, `${name}: a changed picture`);

    // Everything there is to press lies inside the screen and on no other control.
    const boxes = await page.evaluate(() => [...document.querySelectorAll('#bar > *, #view, #pad, #buttons button, #mods button, #typeWrap, #special')]
      .map(element => ({ id: element.id || element.textContent, control: element.matches('button, #typeWrap, #pad'),
        box: element.getBoundingClientRect().toJSON() })));
    for (const { id, control, box } of boxes) {
      assert.ok(!control || (box.width >= 36 && box.height >= 34), `${name}: ${id} is big enough to press: ${JSON.stringify(box)}`);
      assert.ok(box.left >= 0 && box.top >= 0 && box.right <= viewport.width + 0.5 && box.bottom <= viewport.height + 0.5,
        `${name}: ${id} lies on the screen: ${JSON.stringify(box)}`);
    }
    for (const [i, a] of boxes.entries())
      for (const b of boxes.slice(i + 1))
        assert.ok(Math.min(a.box.right, b.box.right) - Math.max(a.box.left, b.box.left) <= 0.5 ||
          Math.min(a.box.bottom, b.box.bottom) - Math.max(a.box.top, b.box.top) <= 0.5, `${name}: ${a.id} and ${b.id} overlap`);
    await screenshot(page, `app-${name}`);
    await page.click('#settingsButton');
    await screenshot(page, `app-${name}-settings`);
  }
  // The picture behind the pad, for the eye only.
  const behind = await openApp(s.browser, { settings: { placement: 'behind' } });
  await showsPicture(behind);
  await screenshot(behind, 'app-portrait-behind');
});

test('the H.264 view plays and stays within a second of the live edge for 30 s, with bounded buffer', async () => {
  const page = await openApp(s.browser, { settings: { stream: 'h264' } });
  await playsVideo(page);
  assert.equal(await page.evaluate(() => tovelApp.player()?.broken), false);
  assert.equal(await page.isHidden('#mjpeg'), true);
  const samples = [];
  for (const started = Date.now(); Date.now() - started < 30000;) {
    const previous = samples.at(-1)?.time ?? 0;
    // Each sample waits for the playhead to move on, so a stalled player fails here.
    await page.waitForFunction(t => document.querySelector('#video').currentTime > t + 0.5, previous);
    samples.push(await page.evaluate(() => {
      const video = document.querySelector('#video'), ranges = video.buffered;
      return { time: video.currentTime, behind: ranges.end(ranges.length - 1) - video.currentTime, start: ranges.start(0),
        ranges: ranges.length, frames: video.getVideoPlaybackQuality().totalVideoFrames };
    }));
  }
  // Its times start at 0 (the first picture shows without seeking), and it has no breaks.
  assert.equal(samples[0].start, 0);
  assert.deepEqual(samples.filter(s => s.ranges !== 1), []);
  const worst = Math.max(...samples.map(s => s.behind));
  const kept = samples.at(-1).time - samples.at(-1).start;
  assert.ok(worst < 1, `at most ${worst} s behind the newest picture: ${JSON.stringify(samples)}`);
  assert.ok(kept < 10, `old pictures are let go: ${kept} s kept`);
  assert.ok(samples.at(-1).frames > samples[0].frames, 'frames keep coming');
  await screenshot(page, 'app-portrait-h264');
});

test('the H.264 setting plays through ManagedMediaSource where only that exists, else shows pictures', async () => {
  // As on an iPhone, which has only the managed kind; then a browser with neither.
  for (const [hide, plays] of [[() => { window.ManagedMediaSource = window.MediaSource; delete window.MediaSource; }, true],
    [() => { delete window.MediaSource; delete window.ManagedMediaSource; }, false]]) {
    const page = await openApp(s.browser, { settings: { stream: 'h264' }, init: hide });
    await (plays ? playsVideo : showsPicture)(page);
    assert.equal(await page.isHidden(plays ? '#mjpeg' : '#video'), true, String(hide));
  }
});

test('the view pages load nothing from anywhere but the host', () => {
  assert.deepEqual(requested.filter(address => new URL(address).origin !== LAN_ORIGIN), []);
  assert.ok(requested.some(address => address.includes('/screen.mp4')));
});
