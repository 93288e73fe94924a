// Starts what an end-to-end test needs: a private X server, the real host on port 8096 using it,
// and headless Chromium driven by playwright-core. Everything is stopped by stopAll().
import { spawn, execFileSync } from 'node:child_process';
import { connect } from 'node:net';
import { copyFileSync, mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { hostname, tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

export const HOST_BINARY = process.env.TOVEL_HOST_BINARY ?? new URL('../../build/tovel-host', import.meta.url).pathname;
export const ORIGIN = 'http://127.0.0.1:8096';
// This machine's own name, which the browser maps to loopback: pages opened through it are not a
// secure context, as on a phone that opens the host's LAN address.
export const LAN_ORIGIN = `http://${hostname()}:8096`;
export const WITNESS_BINARY = process.env.TOVEL_X_WITNESS ??
  new URL('tovel_x_witness', new URL('tests/', 'file://' + HOST_BINARY)).pathname;
export const ARTIFACTS = process.env.TOVEL_E2E_ARTIFACTS ??
  new URL('e2e-artifacts/', 'file://' + HOST_BINARY).pathname;

const started = [];

export function waitFor(check, timeoutMs, what) {
  return new Promise((resolve, reject) => {
    const deadline = Date.now() + timeoutMs;
    const attempt = async () => {
      try {
        if (await check()) return resolve();
      } catch {}
      if (Date.now() > deadline) return reject(new Error(`timed out waiting for ${what}`));
      setTimeout(attempt, 50);
    };
    attempt();
  });
}

// Xvfb chooses a free display itself and reports it on descriptor 3.
export async function startXvfb() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp', '-noreset'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  started.push(xvfb);
  const display = await new Promise((resolve, reject) => {
    let text = '';
    xvfb.stdio[3].on('data', chunk => {
      text += chunk;
      if (text.includes('\n')) resolve(':' + text.trim());
    });
    xvfb.on('exit', () => reject(new Error('Xvfb ended')));
  });
  return display;
}

export function xdotool(display, ...args) {
  return execFileSync('xdotool', args, { env: { ...process.env, DISPLAY: display } }).toString();
}

export function pointer(display) {
  const text = xdotool(display, 'getmouselocation');
  return { x: Number(/x:(\d+)/.exec(text)[1]), y: Number(/y:(\d+)/.exec(text)[1]) };
}

function portOpen() {
  return new Promise(resolve => {
    const socket = connect(8096, '127.0.0.1');
    socket.on('connect', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

// The host with its output collected; output() gives everything printed so far. With
// `withoutPage` it runs as a copy in a directory of its own, where no index.html lies beside it;
// `args` and `env` are its command line and additions to its environment.
export async function startHost(display, { withoutPage = false, args = [], env = {} } = {}) {
  let binary = HOST_BINARY;
  if (withoutPage) {
    const directory = mkdtempSync(join(tmpdir(), 'tovel-host-'));
    binary = join(directory, 'tovel-host');
    copyFileSync(HOST_BINARY, binary);
    started.push({ kill: () => rmSync(directory, { recursive: true, force: true }) });
  }
  const host = spawn(binary, args, {
    env: { ...process.env, DISPLAY: display ?? '', ...env },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  started.push(host);
  const exited = new Promise(resolve => host.on('exit', resolve));
  let output = '';
  host.stdout.on('data', chunk => { output += chunk; });
  host.stderr.on('data', chunk => { output += chunk; });
  await waitFor(portOpen, 10000, 'the host to listen on 8096');
  return {
    process: host,
    output: () => output,
    waitForOutput: (text, timeoutMs = 5000) => waitFor(() => output.includes(text), timeoutMs, JSON.stringify(text)),
    stop: async () => { host.kill('SIGTERM'); await exited; },
  };
}

// A client of the X server that prints the pointer and key events its window gets; lines() gives
// them all, waitForLine(pattern, from) the index of the first matching line at or after `from`.
export async function startWitness(display, geometry, ...flags) {
  const witness = spawn(WITNESS_BINARY, ['--geometry', geometry, ...flags],
    { env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'inherit'] });
  started.push(witness);
  let text = '';
  witness.stdout.on('data', chunk => { text += chunk; });
  const lines = () => text.split('\n').filter(Boolean);
  const waitForLine = async (pattern, from = 0) => {
    let found = -1;
    await waitFor(() => (found = lines().findIndex((line, i) => i >= from && pattern.test(line))) >= 0,
      10000, String(pattern));
    return found;
  };
  await waitForLine(/^ready /);
  return { lines, waitForLine };
}

// Every address a page asks for, to show that it loads nothing from anywhere but its host.
export function recordRequests(page) {
  const addresses = [];
  page.on('request', request => addresses.push(request.url()));
  return addresses;
}

export function artifactPath(name) {
  mkdirSync(ARTIFACTS, { recursive: true });
  return join(ARTIFACTS, name);
}

// A phone: a touch browser context of its size, and a page in it.
export async function newPhone(browser, viewport = { width: 390, height: 844 }) {
  const context = await browser.newContext({ viewport, hasTouch: true, isMobile: true });
  return { context, page: await context.newPage() };
}

// Waits until the app's connection to the host is open.
export const connected = page => page.waitForSelector('#status[data-state="open"]', { timeout: 20000 });

export async function startBrowser() {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--host-resolver-rules=MAP ${hostname()} 127.0.0.1`],
  });
  started.push({ kill: () => browser.close() });
  return browser;
}

export async function stopAll() {
  while (started.length) {
    const thing = started.pop();
    try { await thing.kill(); } catch {}
  }
}
