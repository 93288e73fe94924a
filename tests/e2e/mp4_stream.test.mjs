// The live H.264 stream played by Chromium through Media Source Extensions, the way a web page
// shows it: fetched as a stream, each chunk appended to a SourceBuffer of the advertised codec.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHost, startBrowser, stopAll, ORIGIN } from './harness.mjs';

after(stopAll);

test('Chromium plays /screen.mp4 through Media Source Extensions and keeps up with it', async () => {
  const host = await startHost(); // the virtual desktop, whose picture changes all the time
  const browser = await startBrowser();
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
    await new Promise(resolve => video.addEventListener('loadeddata', resolve, { once: true }));
    await video.play();
    window.player = video;
    // A live player stays near the newest picture: it skips ahead when it has fallen behind.
    setInterval(() => {
      const ranges = video.buffered;
      if (!ranges.length) return;
      const end = ranges.end(ranges.length - 1);
      if (end - video.currentTime > 1) video.currentTime = Math.max(ranges.start(ranges.length - 1), end - 0.2);
    }, 250);
    return { type, supported: true, width: video.videoWidth, height: video.videoHeight };
  });

  assert.equal(started.type, 'video/mp4; codecs="avc1.4d402a"');
  assert.ok(started.supported, 'Chromium takes the advertised codec');
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
  assert.match(host.output(), /Stream started successfully\n/);
});
