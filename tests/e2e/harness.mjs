// A private X server, the real host on port 8096 and headless Chromium, stopped after the file's tests.
import { before, after, afterEach } from 'node:test';
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import { copyFileSync, mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { hostname, tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const HOST_BINARY = process.env.TOVEL_HOST_BINARY ?? new URL('../../build/tovel-host', import.meta.url).pathname;
const WITNESS_BINARY = process.env.TOVEL_X_WITNESS ?? new URL('tovel_x_witness', new URL('tests/', 'file://' + HOST_BINARY)).pathname;
const ARTIFACTS = process.env.TOVEL_E2E_ARTIFACTS ?? new URL('e2e-artifacts/', 'file://' + HOST_BINARY).pathname;
export const ORIGIN = 'http://127.0.0.1:8096';
// This machine's name, which the browser maps to loopback: no secure context, as on a phone.
export const LAN_ORIGIN = `http://${hostname()}:8096`;

const started = []; // each with a kill(), stopped last first
after(async () => { for (const thing of started.reverse()) try { await thing.kill(); } catch {} });

// Asks `check` every 50 ms until it holds (a check that throws does not).
export async function waitFor(check, timeoutMs, what) {
  for (const deadline = Date.now() + timeoutMs; ; await new Promise(resolve => setTimeout(resolve, 50))) {
    try { if (await check()) return; } catch {}
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
  }
}
const onDisplay = display => ({ env: { ...process.env, DISPLAY: display } });
export const xdotool = (display, ...args) => execFileSync('xdotool', args, onDisplay(display)).toString();
export function pointer(display) {
  const [, x, y] = /x:(\d+) y:(\d+)/.exec(xdotool(display, 'getmouselocation'));
  return { x: Number(x), y: Number(y) };
}

// Xvfb chooses a free display itself and reports it on descriptor 3; `layout` is its keyboard's.
async function startXvfb(layout) {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp', '-noreset'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  started.push(xvfb);
  const [number] = await Promise.race([once(xvfb.stdio[3], 'data'),
    once(xvfb, 'exit').then(() => { throw new Error('Xvfb ended'); })]);
  const display = ':' + String(number).trim();
  if (layout) execFileSync('setxkbmap', [layout], onDisplay(display));
  return display;
}

// The host; output() is all it printed so far. `withoutPage`: a copy run where no index.html is.
export async function startHost(display, { withoutPage = false, args = [], env = {} } = {}) {
  let binary = HOST_BINARY;
  if (withoutPage) {
    const directory = mkdtempSync(join(tmpdir(), 'tovel-host-'));
    copyFileSync(HOST_BINARY, binary = join(directory, 'tovel-host'));
    started.push({ kill: () => rmSync(directory, { recursive: true, force: true }) });
  }
  const host = spawn(binary, args, { env: { ...process.env, DISPLAY: display ?? '', ...env } });
  started.push(host);
  const exited = once(host, 'exit');
  let output = '';
  for (const stream of [host.stdout, host.stderr]) stream.on('data', chunk => { output += chunk; });
  const waitForOutput = (text, timeoutMs = 5000) => waitFor(() => output.includes(text), timeoutMs, JSON.stringify(text));
  await waitForOutput('Tovel App Local Link: ', 10000); // printed once it listens
  return { output: () => output, waitForOutput, stop: async () => { host.kill('SIGTERM'); await exited; } };
}

// What a file starts first, in one hook (hooks run side by side): an X server if `layout` is
// given ('' for the default keyboard), the host with `host`'s options, a browser, then `then`.
export function session({ layout, host } = {}, then = async () => {}) {
  const s = {};
  before(async () => {
    if (layout !== undefined) s.display = await startXvfb(layout);
    s.host = await startHost(s.display, host);
    s.browser = await chromium.launch({
      executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', `--host-resolver-rules=MAP ${hostname()} 127.0.0.1`],
    });
    started.push({ kill: () => s.browser.close() });
    await then(s);
  });
  return s;
}

// An X client printing its window's events: lines(); waitForLine: the index of the first match
// from `from` on.
export async function startWitness(display, geometry, ...flags) {
  const witness = spawn(WITNESS_BINARY, ['--geometry', geometry, ...flags], { ...onDisplay(display), stdio: ['pipe', 'pipe', 'inherit'] });
  started.push(witness);
  let text = '';
  witness.stdout.on('data', chunk => { text += chunk; });
  const lines = () => text.split('\n').filter(Boolean);
  const waitForLine = async (pattern, from = 0) => {
    let found;
    await waitFor(() => (found = lines().findIndex((line, i) => i >= from && pattern.test(line))) >= 0, 10000, String(pattern));
    return found;
  };
  await waitForLine(/^ready /);
  return { lines, waitForLine };
}

export function screenshot(page, name) {
  mkdirSync(ARTIFACTS, { recursive: true });
  return page.screenshot({ path: join(ARTIFACTS, `${name}.png`) });
}

// Waits until the app's connection to the host is open.
export const connected = page => page.waitForSelector('#status[data-state="open"]');

// Every address the pages that openApp opened asked for.
export const requested = [];
const opened = [];
afterEach(async () => { while (opened.length) await opened.pop().close(); });

// The app as a phone opens it, in a touch context closed after the test unless `keep`; `settings`
// stored and `init` run before its script; waits for its connection if `wait`.
export async function openApp(browser, { path = '/', viewport = { width: 390, height: 844 }, settings, init, wait = true, keep } = {}) {
  const context = await browser.newContext({ viewport, hasTouch: true, isMobile: true });
  context.setDefaultTimeout(20000);
  if (!keep) opened.push(context);
  const page = await context.newPage();
  page.on('request', request => requested.push(request.url()));
  if (settings) await page.addInitScript(s => localStorage.setItem('tovel.settings', s), JSON.stringify(settings));
  if (init) await page.addInitScript(init);
  await page.goto(LAN_ORIGIN + path);
  if (wait) await connected(page);
  return page;
}

// Sends a log line after everything the page sent, and waits until the host prints it.
export async function logged(page, host, text) {
  await page.waitForFunction(() => tovelApp.idle());
  await page.evaluate(t => tovelApp.send({ action: 'log', text: t }), text);
  await host.waitForOutput(text + '\n', 20000);
}

// The screen view shows a picture; the H.264 view plays.
export const showsPicture = page => page.waitForFunction(() => document.querySelector('#mjpeg').naturalWidth > 0);
export const playsVideo = page =>
  page.waitForFunction(() => document.querySelector('#video').currentTime > 0.2, null, { timeout: 30000 });
