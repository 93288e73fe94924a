// The touchpad app as a phone opens it, driving a real X server with a German keyboard: what
// arrives is read back from the pointer and from a focused witness window's events.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { session, startHost, startWitness, openApp, logged, connected, pointer, xdotool } from './harness.mjs';

let page, pad, witness;
const s = session({ layout: 'de' }, async () => {
  // Covers the middle of the screen, where the pointer is put for every case.
  witness = await startWitness(s.display, '200,150,1500,800', '--focus');
  page = await openApp(s.browser, { keep: true });
  pad = await touchpad(page);
});

// A touch gesture on the pad through the DevTools protocol (real touch and pointer events): the
// fingers, 40 px apart, go down, move together by dx, dy in ten steps (none for a tap), and lift.
async function touchpad(target) {
  const box = await target.locator('#pad').boundingBox();
  const session = await target.context().newCDPSession(target);
  const send = (type, points) => session.send('Input.dispatchTouchEvent', { type, touchPoints: points.map((p, id) => ({ ...p, id })) });
  return async (count, dx = 0, dy = 0) => {
    const start = Array.from({ length: count }, (_, i) => ({ x: box.x + box.width / 2 + (i - (count - 1) / 2) * 40, y: box.y + box.height / 2 }));
    await send('touchStart', start);
    for (let step = 1; step <= 10 && (dx || dy); step++) await send('touchMove', start.map(p => ({ x: p.x + (dx * step) / 10, y: p.y + (dy * step) / 10 })));
    await send('touchEnd', []);
  };
}

// Runs `gesture`, then a marker (a middle click, or Tab): the witness lines before the marker.
async function eventsOf(gesture, { target = page, tab = false } = {}) {
  const [marker, press, release] = tab
    ? [[{ action: 'keydown', key: 'tab' }, { action: 'keyup', key: 'tab' }], /^KeyPress keysym=Tab /, /^KeyRelease keysym=Tab /]
    : [[{ action: 'click', button: 'middle' }], /^ButtonPress button=2 /, /^ButtonRelease button=2 /];
  xdotool(s.display, 'mousemove', '900', '500');
  const from = witness.lines().length;
  await gesture();
  await target.waitForFunction(() => tovelApp.idle());
  await target.evaluate(messages => messages.forEach(m => tovelApp.send(m)), marker);
  const end = await witness.waitForLine(release, from);
  const lines = witness.lines().slice(from, end);
  return lines.slice(0, lines.findLastIndex(line => press.test(line)));
}
const field = (line, name) => Number(new RegExp(`${name}=(\\d+)`).exec(line)[1]);

test('touch gestures move the pointer, click, drag and scroll, over the WebSocket and over POST', async () => {
  assert.equal(await page.evaluate(() => isSecureContext), false);
  assert.equal(await page.textContent('#status'), 'Connected');
  // `buttons` as the witness gets them (P1: button 1 pressed); `moved`: the fingers' way, half of
  // which the pointer goes at least, in its direction.
  const cases = [
    { name: 'drag', gesture: () => pad(1, 120, -60), buttons: /^$/, moved: [120, -60] },
    { name: 'tap', gesture: () => pad(1), buttons: /^P1 R1$/ },
    { name: 'double tap', gesture: async () => { await pad(1); await pad(1); }, buttons: /^P1 R1 P1 R1$/, check: ([down, , again]) => field(again, 'time') - field(down, 'time') < 400 },
    { name: 'two-finger tap', gesture: () => pad(2), buttons: /^P3 R3$/ },
    // The button stays down while the pointer moves: it is let go elsewhere.
    { name: 'double-tap-and-drag', gesture: async () => { await pad(1); await pad(1, 150, 80); }, buttons: /^P1 R1$/,
      check: ([down, up]) => field(up, 'x') > field(down, 'x') + 50 && field(up, 'y') > field(down, 'y') + 25 },
    // Scrolling: the content follows the fingers.
    { name: 'two fingers up', gesture: () => pad(2, 0, -240), buttons: /^P5 R5( P5 R5){2,}$/ },
    { name: 'two fingers down', gesture: () => pad(2, 0, 240), buttons: /^P4 R4( P4 R4){2,}$/ },
  ];
  const check = async c => {
    const clicks = (await eventsOf(c.gesture, c)).filter(line => line.startsWith('Button'));
    assert.match(clicks.map(line => /^Button(P|R)\w+ button=(\d)/.exec(line).slice(1).join('')).join(' '), c.buttons, c.name);
    if (c.check) assert.ok(c.check(clicks), `${c.name}: ${clicks.join('; ')}`);
    if (c.moved) {
      const end = pointer(s.display);
      for (const [got, want] of [[end.x - 900, c.moved[0]], [end.y - 500, c.moved[1]]])
        assert.ok(Math.sign(got) === Math.sign(want) && Math.abs(got) >= Math.abs(want) / 2, `${c.name}: to ${JSON.stringify(end)}`);
    }
  };
  for (const c of cases) await check(c);
  assert.match(s.host.output(), /ws scroll\n/); // the end of the scroll was sent
  // Without WebSocket, and with ?url= naming the host as HOST:PORT, the app posts its commands.
  const viaPost = await openApp(s.browser, { path: '/?url=127.0.0.1:8096', init: () => { delete window.WebSocket; }, wait: false });
  const postPad = await touchpad(viaPost);
  await check({ name: 'drag over POST', target: viaPost, gesture: () => postPad(1, -100, 50), buttons: /^$/, moved: [-100, 50] });
  assert.equal(await viaPost.getAttribute('#status', 'data-state'), 'http');
});

test('text arrives as its characters on a German keyboard, from key presses, a phone keyboard and an input method', async () => {
  // What the witness reads each key press as typing, in order; or the keys and their states.
  const typed = lines => lines.filter(line => line.startsWith('KeyPress '))
    .map(line => Buffer.from(/ typed=([0-9a-f]*)/.exec(line)[1], 'hex').toString('utf8').replace(/\r/g, '\n')).join('');
  const keys = lines => lines.filter(line => line.startsWith('Key')).map(line => /^(\w+ keysym=\S+ state=\S+)/.exec(line)[1]);
  const stroke = (name, state) => [`KeyPress keysym=${name} state=${state}`, `KeyRelease keysym=${name} state=${state}`];
  const phoneKey = inputType => page.evaluate(type =>
    document.querySelector('#typer').dispatchEvent(new InputEvent('beforeinput', { inputType: type, cancelable: true })), inputType);
  const cdp = await page.context().newCDPSession(page);
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
    const lines = await eventsOf(c.type, { tab: true });
    if (c.text) assert.equal(typed(lines), c.text, c.name);
    else assert.deepEqual(keys(lines), c.keys, c.name);
  }
  // The field keeps nothing of what was typed, so the next text is all new.
  assert.equal(await page.inputValue('#typer'), '\u200b');
  assert.doesNotMatch(s.host.output(), /Could not type/);
});

test('the page reconnects by itself when the host stops and comes back', async () => {
  await s.host.stop();
  await page.waitForSelector('#status:not([data-state="open"])');
  s.host = await startHost(s.display);
  await connected(page);
  await logged(page, s.host, 'after the restart');
});
