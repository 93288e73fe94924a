// Starts what an end-to-end test needs: a private X server, the real host on port 8096 using it,
// and headless Chromium driven by playwright-core. Everything is stopped by stopAll().
import { spawn, execFileSync } from 'node:child_process';
import { connect } from 'node:net';
import { chromium } from 'playwright-core';

export const HOST_BINARY = process.env.TOVEL_HOST_BINARY ?? new URL('../../build/tovel-host', import.meta.url).pathname;
export const ORIGIN = 'http://127.0.0.1:8096';

const started = [];

function waitFor(check, timeoutMs, what) {
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

// The host with its output collected; output() gives everything printed so far.
export async function startHost(display) {
  const host = spawn(HOST_BINARY, [], {
    env: { ...process.env, DISPLAY: display ?? '' },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  started.push(host);
  let output = '';
  host.stdout.on('data', chunk => { output += chunk; });
  host.stderr.on('data', chunk => { output += chunk; });
  await waitFor(portOpen, 10000, 'the host to listen on 8096');
  return {
    process: host,
    output: () => output,
    waitForOutput: text => waitFor(() => output.includes(text), 5000, JSON.stringify(text)),
  };
}

export async function startBrowser() {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
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
