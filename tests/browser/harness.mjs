// Real parts for the set monitor's page tests: the test sender and the monitor as processes on
// loopback, Debian's Chromium through puppeteer-core, and raw HTTP and WebSocket clients for
// what a browser will not send. Every wait is for a condition, with a deadline.

import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import net from 'node:net';
import crypto from 'node:crypto';
import puppeteer from 'puppeteer-core';

export const monitorExe = process.env.TELMORA_MONITOR_EXE;
export const senderExe = process.env.TELMORA_SIM_SERVER_EXE;
export const mocapDir = process.env.TELMORA_MOCAP_DIR;

// Polls `check` until it returns something truthy; throws `what` after `ms`.
export async function waitFor(what, check, ms = 10000, everyMs = 20) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, everyMs));
  }
}

export async function freeUdpPort() {
  const socket = dgram.createSocket('udp4');
  await new Promise((resolve) => socket.bind(0, '127.0.0.1', resolve));
  const { port } = socket.address();
  socket.close();
  return port;
}

// A program whose standard output is kept, line by line.
function run(exe, args) {
  const child = spawn(exe, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const output = { text: '' };
  child.stdout.on('data', (d) => { output.text += d; });
  child.stderr.on('data', (d) => { output.text += d; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return {
    child, output, exited,
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGCONT');
        child.kill('SIGTERM');
      }
      return exited;
    },
  };
}

// The test sender announcing `name` to the monitor's port, streaming the walk and the dance.
export function startSender(announcePort, { name = 'Stage A', rate = 120, extra = [] } = {}) {
  return run(senderExe, ['--name', name, '--announce-address', '127.0.0.1', '--announce-port',
    String(announcePort), '--rate', String(rate), ...extra, `walk=${mocapDir}/cmu_02_01_walk.bvh`,
    `dance=${mocapDir}/cmu_05_06_dance.bvh`]);
}

// telmora-monitor --serve WHERE; resolves once it prints its URL.
export async function startMonitor(announcePort, where = '127.0.0.1:0') {
  const monitor = run(monitorExe, ['--serve', where, '--port', String(announcePort)]);
  const line = await waitFor('the monitor to print its URL',
    () => /Set monitor at (http:\/\/\S+)/.exec(monitor.output.text));
  const url = new URL(line[1]);
  monitor.port = Number(url.port);
  monitor.token = url.searchParams.get('token');
  monitor.url = `http://127.0.0.1:${monitor.port}/` + (monitor.token ? `?token=${monitor.token}` : '');
  return monitor;
}

export async function launchBrowser() {
  return puppeteer.launch({
    executablePath: process.env.TELMORA_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
      '--no-first-run', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
      '--disable-backgrounding-occluded-windows'],
  });
}

export async function openPage(browser, url, viewport = { width: 1280, height: 800 }) {
  const page = await browser.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await page.setViewport(viewport);
  await page.goto(url);
  return page;
}

// Clicks the subject's button in the server's card.
export async function watch(page, server, subject) {
  await waitFor(`'${subject}' of '${server}' listed`, () => page.evaluate((server, subject) => {
    for (const card of document.querySelectorAll('.server'))
      if (card.dataset.server === server)
        for (const b of card.querySelectorAll('button'))
          if (b.textContent === subject) { b.click(); return true; }
    return false;
  }, server, subject));
}

// What the page shows of a watched stream: its light, its text, its frame count.
export function streamCard(page, subject) {
  return page.evaluate((subject) => {
    const card = [...document.querySelectorAll('.stream')].find((c) => c.dataset.subject === subject);
    if (!card) return null;
    const frames = /(\d+) frames/.exec(card.querySelector('.where').textContent);
    return { light: card.dataset.light, text: card.querySelector('.text').textContent,
             frames: frames ? Number(frames[1]) : 0,
             colour: card.style.getPropertyValue('--swatch') };
  }, subject);
}

// Pixels of the 3-D view, as a person sees them, close to `colour` ("#rrggbb").
export async function pixelsOfColour(page, colour) {
  const box = await (await page.$('#scene')).boundingBox();
  const png = await page.screenshot({ clip: box, encoding: 'base64' });
  return page.evaluate(async (png, colour) => {
    const image = new Image();
    image.src = 'data:image/png;base64,' + png;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width; canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const data = context.getImageData(0, 0, image.width, image.height).data;
    const want = [1, 3, 5].map((i) => parseInt(colour.slice(i, i + 2), 16));
    let count = 0;
    for (let i = 0; i < data.length; i += 4)
      if (Math.abs(data[i] - want[0]) + Math.abs(data[i + 1] - want[1]) + Math.abs(data[i + 2] - want[2]) < 60) ++count;
    return count;
  }, png, colour.trim());
}

// Sends `bytes` on a fresh connection and resolves with the whole reply (the server closes, or
// half a second passes without more).
export function rawRequest(port, bytes) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    let reply = '';
    let timer = null;
    const done = () => { clearTimeout(timer); socket.destroy(); resolve(reply); };
    const idle = () => { clearTimeout(timer); timer = setTimeout(done, 500); };
    socket.on('connect', () => { socket.write(bytes); idle(); });
    socket.on('data', (d) => { reply += d.toString('latin1'); idle(); });
    socket.on('error', done);
    socket.on('close', done);
  });
}

export const statusOf = (reply) => Number((/^HTTP\/1\.1 (\d+)/.exec(reply) || [])[1] || 0);

// A WebSocket client of our own, which can stop reading: its socket is paused, so the bytes
// pile up in the kernel and the monitor sees a page that no longer reads.
export async function rawWebSocket(port, path = '/ws', headers = {}) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve) => socket.on('connect', resolve));
  const key = crypto.randomBytes(16).toString('base64');
  const extra = Object.entries(headers).map(([k, v]) => `${k}: ${v}\r\n`).join('');
  socket.write(`GET ${path} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\n` +
    `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n${extra}\r\n`);
  const client = { socket, status: 0, messages: [], bytes: 0 };
  let buffer = Buffer.alloc(0);
  socket.on('error', () => {});
  socket.on('data', (d) => {
    client.bytes += d.length;
    buffer = Buffer.concat([buffer, d]);
    if (!client.status) {
      const end = buffer.indexOf('\r\n\r\n');
      if (end < 0) return;
      client.status = statusOf(buffer.subarray(0, end).toString('latin1'));
      buffer = buffer.subarray(end + 4);
    }
    // Unmasked server frames: FIN+opcode, length (7, 16 or 64 bits), payload.
    for (;;) {
      if (buffer.length < 2) return;
      let length = buffer[1] & 0x7f, offset = 2;
      if (length === 126) { if (buffer.length < 4) return; length = buffer.readUInt16BE(2); offset = 4; }
      else if (length === 127) { if (buffer.length < 10) return; length = Number(buffer.readBigUInt64BE(2)); offset = 10; }
      if (buffer.length < offset + length) return;
      if ((buffer[0] & 0x0f) === 1) client.messages.push(JSON.parse(buffer.subarray(offset, offset + length).toString()));
      buffer = buffer.subarray(offset + length);
    }
  });
  await waitFor('the WebSocket handshake', () => client.status || socket.destroyed, 5000);
  return client;
}
