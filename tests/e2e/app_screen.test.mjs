// The app's screen view against the host's virtual desktop, whose picture moves all the time:
// the picture stream, the live H.264 player and the stream it plays, and how the page looks on a
// phone.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHost, startBrowser, newPhone, connected, stopAll, recordRequests, artifactPath, waitFor, ORIGIN, LAN_ORIGIN } from './harness.mjs';

let browser;
const requests = [];
before(async () => {
  await startHost();
  browser = await startBrowser();
});
after(stopAll);

async function openApp(viewport, storedSettings) {
  const { page } = await newPhone(browser, viewport);
  if (storedSettings) {
    await page.addInitScript(s => localStorage.setItem('tovel.settings', s), JSON.stringify(storedSettings));
  }
  requests.push(recordRequests(page));
  await page.goto(LAN_ORIGIN + '/');
  await connected(page);
  return page;
}

// A small fingerprint of what the picture shows now.
const picture = page => page.evaluate(() => {
  const image = document.querySelector('#mjpeg');
  const canvas = document.createElement('canvas');
  canvas.width = 64;
  canvas.height = 36;
  const context = canvas.getContext('2d');
  context.drawImage(image, 0, 0, canvas.width, canvas.height);
  return Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data).join(',');
});

test('the picture view shows the screen as it changes, and the page fits a phone both ways', async () => {
  for (const [name, viewport] of [['portrait', { width: 390, height: 844 }], ['landscape', { width: 844, height: 390 }]]) {
    const page = await openApp(viewport);
    await page.waitForFunction(() => document.querySelector('#mjpeg').naturalWidth > 0, null, { timeout: 20000 });
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
    for (const [i, a] of boxes.entries()) {
      for (const b of boxes.slice(i + 1)) {
        const overlap = Math.min(a.box.right, b.box.right) - Math.max(a.box.left, b.box.left) > 0.5 &&
          Math.min(a.box.bottom, b.box.bottom) - Math.max(a.box.top, b.box.top) > 0.5;
        assert.ok(!overlap, `${name}: ${a.id} and ${b.id} overlap`);
      }
    }
    await page.screenshot({ path: artifactPath(`app-${name}.png`) });
    await page.click('#settingsButton');
    await page.screenshot({ path: artifactPath(`app-${name}-settings.png`) });
    await page.close();
  }
  // The picture behind the pad, for the eye only.
  const behind = await openApp({ width: 390, height: 844 }, { placement: 'behind' });
  await behind.waitForFunction(() => document.querySelector('#mjpeg').naturalWidth > 0, null, { timeout: 20000 });
  await behind.screenshot({ path: artifactPath('app-portrait-behind.png') });
  await behind.close();
});

test('the H.264 view plays and stays within a second of the live edge for 30 s, with bounded buffer', async t => {
  const page = await openApp({ width: 390, height: 844 }, { stream: 'h264' });
  await page.waitForFunction(() => document.querySelector('#video').currentTime > 0.2, null, { timeout: 30000 });
  assert.equal(await page.evaluate(() => tovelApp.player()?.broken), false);
  assert.equal(await page.isHidden('#mjpeg'), true);
  const samples = [];
  const started = Date.now();
  while (Date.now() - started < 30000) {
    const previous = samples.at(-1)?.time ?? 0;
    // Each sample waits for the playhead to move on, so a stalled player fails here.
    await page.waitForFunction(t => document.querySelector('#video').currentTime > t + 0.5, previous, { timeout: 20000 });
    samples.push(await page.evaluate(() => {
      const video = document.querySelector('#video');
      const ranges = video.buffered;
      return { time: video.currentTime, behind: ranges.end(ranges.length - 1) - video.currentTime,
        kept: video.currentTime - ranges.start(0), frames: video.getVideoPlaybackQuality().totalVideoFrames };
    }));
  }
  const worst = Math.max(...samples.map(s => s.behind));
  t.diagnostic(`${samples.length} samples, at most ${worst.toFixed(3)} s behind, ${samples.at(-1).kept.toFixed(1)} s kept`);
  assert.ok(worst < 1, `at most ${worst} s behind the newest picture: ${JSON.stringify(samples)}`);
  assert.ok(samples.at(-1).kept < 10, `old pictures are let go: ${samples.at(-1).kept} s kept`);
  assert.ok(samples.at(-1).frames > samples[0].frames, 'frames keep coming');
  await page.screenshot({ path: artifactPath('app-portrait-h264.png') });
  await page.context().close();
});

test('the H.264 setting plays through ManagedMediaSource where only that exists, else shows pictures', async () => {
  const cases = [
    // As on an iPhone, which has only the managed kind.
    { name: 'ManagedMediaSource only', hide: () => { window.ManagedMediaSource = window.MediaSource; delete window.MediaSource; }, expect: 'video' },
    { name: 'neither', hide: () => { delete window.MediaSource; delete window.ManagedMediaSource; }, expect: 'pictures' },
  ];
  for (const c of cases) {
    const { context, page } = await newPhone(browser);
    await page.addInitScript(() => localStorage.setItem('tovel.settings', '{"stream":"h264"}'));
    await page.addInitScript(c.hide);
    requests.push(recordRequests(page));
    await page.goto(LAN_ORIGIN + '/');
    if (c.expect === 'video') {
      await page.waitForFunction(() => document.querySelector('#video').currentTime > 0.2, null, { timeout: 30000 });
      assert.equal(await page.isHidden('#mjpeg'), true, c.name);
    } else {
      await page.waitForFunction(() => document.querySelector('#mjpeg').naturalWidth > 0, null, { timeout: 20000 });
      assert.equal(await page.isHidden('#video'), true, c.name);
    }
    await context.close();
  }
});

// The stream itself, played the way any web page would: fetched as a stream, each chunk appended
// to a SourceBuffer of the advertised codec.
test('Chromium plays /screen.mp4 through Media Source Extensions and keeps up with it', async () => {
  const page = await browser.newPage();
  await page.goto(ORIGIN + '/');

  const started = await page.evaluate(async () => {
    const response = await fetch('/screen.mp4');
    const type = response.headers.get('Content-Type');
    if (!MediaSource.isTypeSupported(type)) return { type, supported: false };
    const video = document.createElement('video');
    video.muted = true;
    document.body.append(video);
    const source = new MediaSource();
    video.src = URL.createObjectURL(source);
    await new Promise(resolve => source.addEventListener('sourceopen', resolve, { once: true }));
    const buffer = source.addSourceBuffer(type);
    const reader = response.body.getReader();
    window.playerErrors = [];
    video.addEventListener('error', () => window.playerErrors.push(String(video.error?.message)));
    (async () => {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        if (buffer.updating)
          await new Promise(resolve => buffer.addEventListener('updateend', resolve, { once: true }));
        buffer.appendBuffer(value);
      }
    })().catch(error => window.playerErrors.push(String(error)));
    // It joins a stream that the app's views started long ago, yet shows its first picture at
    // time 0 without seeking: its own times start there.
    const loaded = await Promise.race([
      new Promise(resolve => video.addEventListener('loadeddata', () => resolve(true), { once: true })),
      new Promise(resolve => setTimeout(() => resolve(false), 20000))]);
    const ranges = Array.from({ length: video.buffered.length }, (_, i) => [video.buffered.start(i), video.buffered.end(i)]);
    if (!loaded) return { type, supported: true, loaded, ranges };
    await video.play();
    window.player = video;
    // A live player stays near the newest picture: it skips ahead when it has fallen behind.
    setInterval(() => {
      const ranges = video.buffered;
      if (!ranges.length) return;
      const end = ranges.end(ranges.length - 1);
      if (end - video.currentTime > 1) video.currentTime = Math.max(ranges.start(ranges.length - 1), end - 0.2);
    }, 250);
    return { type, supported: true, loaded, ranges, width: video.videoWidth, height: video.videoHeight };
  });

  assert.equal(started.type, 'video/mp4; codecs="avc1.4d402a"');
  assert.ok(started.supported, 'Chromium takes the advertised codec');
  assert.ok(started.loaded, `a first picture at time 0: buffered ${JSON.stringify(started.ranges)}`);
  assert.equal(started.ranges[0][0], 0);
  assert.deepEqual([started.width, started.height], [1920, 1080]);

  // Playing on: the playhead moves a full second on, and the buffered end moves with it.
  const before = await page.evaluate(() => player.currentTime);
  await page.waitForFunction(start => player.currentTime > start + 1, before, { timeout: 30000 });
  const state = await page.evaluate(() => ({
    errors: window.playerErrors,
    decoded: player.getVideoPlaybackQuality().totalVideoFrames,
    behind: player.buffered.end(player.buffered.length - 1) - player.currentTime,
    ranges: player.buffered.length,
  }));
  assert.deepEqual(state.errors, []);
  assert.ok(state.decoded >= 30, `${state.decoded} frames decoded`);
  assert.ok(state.behind < 1, `the player is ${state.behind} s behind what it has`);
  // Nothing was taken for a break in the stream, which would have cost every frame up to the
  // next key frame.
  assert.equal(state.ranges, 1);
  await page.close();
});

test('the view pages load nothing from anywhere but the host', () => {
  const elsewhere = requests.flat().filter(address => new URL(address).origin !== LAN_ORIGIN);
  assert.deepEqual(elsewhere, []);
  assert.ok(requests.flat().some(address => address.includes('/screen.mp4')));
});
