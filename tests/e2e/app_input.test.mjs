// The touchpad app on a phone-sized touch screen, opened as a phone opens it (plain http to the
// host's name, no secure context), driving a real X server: what arrives there is read back from
// the pointer position and from a witness window's events.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { startXvfb, startHost, startBrowser, startWitness, connected, stopAll, pointer, xdotool, LAN_ORIGIN } from './harness.mjs';
import { Touchpad } from './touch.mjs';

let display, host, browser, context, page, pad, witness;

async function openApp(query = '', { noWebSocket = false } = {}) {
  const opened = await context.newPage();
  if (noWebSocket) await opened.addInitScript(() => { delete window.WebSocket; });
  await opened.goto(LAN_ORIGIN + '/' + query);
  return opened;
}

before(async () => {
  display = await startXvfb();
  execFileSync('setxkbmap', ['de'], { env: { ...process.env, DISPLAY: display } });
  host = await startHost(display);
  // Covers the middle of the screen, where the pointer is put for every case; it has the focus.
  witness = await startWitness(display, '200,150,1500,800', '--focus');
  browser = await startBrowser();
  context = await browser.newContext({ viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true });
  page = await openApp();
  await connected(page);
  pad = await Touchpad.on(page);
});
after(stopAll);

// Runs `gesture`, then a marker press and release through the same channel once the page has
// sent everything, and gives the witness lines before the marker.
async function eventsOf(gesture, marker, markerPress, markerRelease) {
  xdotool(display, 'mousemove', '900', '500');
  const from = witness.lines().length;
  await gesture();
  await page.waitForFunction(() => tovelApp.idle());
  await page.evaluate(messages => messages.forEach(m => tovelApp.send(m)), marker);
  const end = await witness.waitForLine(markerRelease, from);
  const lines = witness.lines().slice(from, end);
  return lines.slice(0, lines.findLastIndex(line => markerPress.test(line)));
}
const clickMarker = [[{ action: 'click', button: 'middle' }], /^ButtonPress button=2 /, /^ButtonRelease button=2 /];
const buttonEvents = gesture => eventsOf(gesture, ...clickMarker);
const buttons = lines => lines.map(line => /^(Button\w+ button=\d)/.exec(line)?.[1]).filter(Boolean);
const field = (line, name) => Number(new RegExp(`${name}=(\\d+)`).exec(line)[1]);

test('the page runs without a secure context and shows it is connected', async () => {
  assert.equal(await page.evaluate(() => isSecureContext), false);
  assert.equal(await page.textContent('#status'), 'Connected');
});

test('a one-finger drag moves the pointer its way, over the WebSocket and over POST to ?url=', async () => {
  const cases = [
    { name: 'right and down', dx: 120, dy: 60, page },
    { name: 'left and up', dx: -120, dy: -60, page },
    { name: 'POST to HOST:PORT', dx: 100, dy: -50, query: '?url=127.0.0.1:8096', noWebSocket: true },
  ];
  for (const c of cases) {
    const target = c.page ?? (await openApp(c.query, c));
    const touch = c.page ? pad : await Touchpad.on(target);
    xdotool(display, 'mousemove', '900', '500');
    const start = pointer(display);
    await touch.drag(1, c.dx, c.dy);
    await target.waitForFunction(() => tovelApp.idle());
    const text = `drag done ${c.name}`;
    await target.evaluate(t => tovelApp.send({ action: 'log', text: t }), text);
    await host.waitForOutput(text + '\n');
    const end = pointer(display);
    assert.ok(Math.sign(end.x - start.x) === Math.sign(c.dx) && Math.abs(end.x - start.x) >= Math.abs(c.dx) / 2,
      `${c.name}: x went from ${start.x} to ${end.x}`);
    assert.ok(Math.sign(end.y - start.y) === Math.sign(c.dy) && Math.abs(end.y - start.y) >= Math.abs(c.dy) / 2,
      `${c.name}: y went from ${start.y} to ${end.y}`);
    if (!c.page) {
      assert.match(host.output(), /WebSocket upgrade request detected\n/); // from the first page only
      assert.equal(await target.getAttribute('#status', 'data-state'), 'http');
      await target.close();
    }
  }
});

test('taps click, double tap double-clicks, two fingers right-click, double-tap-and-drag drags', async () => {
  const press1 = ['ButtonPress button=1', 'ButtonRelease button=1'];
  const cases = [
    { name: 'tap', gesture: () => pad.tap(1), expect: press1 },
    { name: 'double tap', gesture: async () => { await pad.tap(1); await pad.tap(1); }, expect: [...press1, ...press1] },
    { name: 'two-finger tap', gesture: () => pad.tap(2), expect: ['ButtonPress button=3', 'ButtonRelease button=3'] },
    { name: 'double-tap-and-drag', gesture: async () => { await pad.tap(1); await pad.drag(1, 150, 80); }, expect: press1 },
  ];
  for (const c of cases) {
    const lines = await buttonEvents(c.gesture);
    assert.deepEqual(buttons(lines), c.expect, c.name);
    if (c.name === 'double tap') {
      const [first, second] = lines.filter(line => line.startsWith('ButtonPress'));
      assert.ok(field(second, 'time') - field(first, 'time') < 400, `${c.name}: presses close enough: ${lines}`);
    }
    if (c.name === 'double-tap-and-drag') {
      // The button stayed down while the pointer moved: it is let go elsewhere.
      const [down, up] = lines;
      assert.ok(field(up, 'x') > field(down, 'x') + 50 && field(up, 'y') > field(down, 'y') + 25, lines.join('; '));
    }
  }
});

test('a two-finger drag scrolls, with the content following the fingers', async () => {
  for (const [dy, wheel] of [[-240, 5], [240, 4]]) {
    const lines = buttons(await buttonEvents(() => pad.drag(2, 0, dy)));
    const presses = lines.filter(line => line.startsWith('ButtonPress'));
    assert.ok(presses.length >= 3, `fingers by ${dy}: ${lines}`);
    assert.deepEqual(new Set(presses), new Set([`ButtonPress button=${wheel}`]), `fingers by ${dy}`);
  }
  assert.match(host.output(), /ws scroll\n/); // the end of the scroll was sent
});

// On a German keyboard: what the witness reads each key press as typing, in order.
const typedText = lines => lines.filter(line => line.startsWith('KeyPress '))
  .map(line => Buffer.from(/ typed=([0-9a-f]*)/.exec(line)[1], 'hex').toString('utf8').replace(/\r/g, '\n')).join('');

test('text arrives as its characters on a German keyboard, from key presses, a phone keyboard and an input method', async () => {
  const keys = lines => lines.filter(line => line.startsWith('Key')).map(line => /^(\w+ keysym=\S+ state=\S+)/.exec(line)[1]);
  const stroke = (name, state) => [`KeyPress keysym=${name} state=${state}`, `KeyRelease keysym=${name} state=${state}`];
  const phoneKey = inputType => page.evaluate(type =>
    document.querySelector('#typer').dispatchEvent(new InputEvent('beforeinput', { inputType: type, cancelable: true })), inputType);
  const cdp = await context.newCDPSession(page);
  const compose = async () => {
    for (const text of ['に', 'にほ', 'にほん'])
      await cdp.send('Input.imeSetComposition', { text, selectionStart: text.length, selectionEnd: text.length });
    await cdp.send('Input.insertText', { text: '日本' });
  };
  const cases = [
    { name: 'key presses', type: () => page.keyboard.type('Hallo Welt! @ zy "#\'§'), text: 'Hallo Welt! @ zy "#\'§' },
    { name: 'phone keyboard', type: () => page.keyboard.insertText('Grüße, señor Ωμέγα 😀 ç'), text: 'Grüße, señor Ωμέγα 😀 ç' },
    { name: 'input method', type: compose, text: '日本' },
    { name: 'phone backspace and enter', type: async () => { await phoneKey('deleteContentBackward'); await phoneKey('insertLineBreak'); },
      keys: [...stroke('BackSpace', '0x0'), ...stroke('Return', '0x0')] },
    { name: 'sticky control lets go after one key', type: async () => { await page.tap('[data-modifier="control"]'); await page.keyboard.insertText('cx'); },
      keys: ['KeyPress keysym=Control_L state=0x0', ...stroke('c', '0x4'), 'KeyRelease keysym=Control_L state=0x4', ...stroke('x', '0x0')] },
    { name: 'special keys', type: async () => { await page.tap('[data-key="escape"]'); await page.tap('[data-key="f5"]'); },
      keys: [...stroke('Escape', '0x0'), ...stroke('F5', '0x0')] },
  ];
  await page.focus('#typer');
  for (const c of cases) {
    const lines = await eventsOf(c.type, [{ action: 'keydown', key: 'tab' }, { action: 'keyup', key: 'tab' }],
      /^KeyPress keysym=Tab /, /^KeyRelease keysym=Tab /);
    if (c.text) assert.equal(typedText(lines), c.text, c.name);
    else assert.deepEqual(keys(lines), c.keys, c.name);
  }
  // The field keeps nothing of what was typed, so the next text is all new.
  assert.equal(await page.inputValue('#typer'), '\u200b');
  assert.doesNotMatch(host.output(), /Could not type/);
});

test('the page reconnects by itself when the host stops and comes back', async () => {
  await host.stop();
  await page.waitForSelector('#status:not([data-state="open"])', { timeout: 20000 });
  host = await startHost(display);
  await connected(page);
  await page.evaluate(() => tovelApp.send({ action: 'log', text: 'after the restart' }));
  await host.waitForOutput('after the restart\n');
});
