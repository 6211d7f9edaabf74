// The set monitor's figures: its CPU with 1 and with 20 pages watching a 120 Hz subject, the
// bytes a second each page receives, and the time from the sender's sendto to the page drawing
// that frame (median, p99), measured in the page. Run by scripts/monitor_figures.sh.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  freeUdpPort, launchBrowser, openPage, rawWebSocket, startMonitor, startSender, streamCard, waitFor, watch,
} from './harness.mjs';

const kSeconds = Number(process.env.TELMORA_FIGURES_SECONDS || 10);
const ticksPerSecond = 100;  // USER_HZ on Linux

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond;  // utime + stime
}

// The page's wall clock against the monotonic clock the sender stamps with, from one round trip.
async function pageClockOffsetMicros(page) {
  const before = process.hrtime.bigint();
  const pageMs = await page.evaluate(() => performance.timeOrigin + performance.now());
  const after = process.hrtime.bigint();
  return pageMs * 1000 - Number((before + after) / 2n) / 1000;
}

const percentile = (values, p) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.round(p * (sorted.length - 1)))];
};

async function measure(monitor, pages, label) {
  const first = pages[0];
  const bytesBefore = await Promise.all(pages.map((p) => p.evaluate(() => window.telmoraMonitor.bytes)));
  const updatesBefore = await first.evaluate(() => window.telmoraMonitor.updates.length);
  const cpuBefore = cpuSeconds(monitor.child.pid);
  const started = Date.now();
  await waitFor('the measuring window', () => Date.now() - started >= kSeconds * 1000, kSeconds * 1000 + 5000, 100);
  const seconds = (Date.now() - started) / 1000;
  const cpu = (cpuSeconds(monitor.child.pid) - cpuBefore) / seconds;
  const bytesAfter = await Promise.all(pages.map((p) => p.evaluate(() => window.telmoraMonitor.bytes)));
  const perPage = bytesAfter.map((b, i) => (b - bytesBefore[i]) / seconds);
  const updates = await first.evaluate((from) => window.telmoraMonitor.updates.slice(from), updatesBefore);
  return { label, pages: pages.length, seconds, cpu,
           bytesPerPage: perPage.reduce((a, b) => a + b, 0) / perPage.length, updates };
}

const announcePort = await freeUdpPort();
const sendTimes = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'telmora-figures-')), 'sent.txt');
const sender = startSender(announcePort, { extra: ['--send-times', sendTimes] });
const monitor = await startMonitor(announcePort);
const browser = await launchBrowser();
const pages = [await openPage(browser, monitor.url)];
await watch(pages[0], 'Stage A', 'walk');
await waitFor('walk green', async () => (await streamCard(pages[0], 'walk'))?.light === 'green');
await waitFor('two seconds of warming up', async () => (await streamCard(pages[0], 'walk')).frames > 240);
const offset = await pageClockOffsetMicros(pages[0]);

const runs = [await measure(monitor, pages, '1 page')];
pages.push(...await Promise.all(Array.from({ length: 19 },
  () => openPage(browser, monitor.url, { width: 480, height: 360 }))));
await waitFor('every page receiving', async () =>
  (await Promise.all(pages.map((p) => p.evaluate(() => window.telmoraMonitor?.states ?? 0)))).every((n) => n > 0), 60000);
await pages[0].bringToFront();  // a tab behind the others draws nothing
runs.push(await measure(monitor, pages, '20 pages'));

// The same load without 19 Chromium pages on the cores: one page and 19 WebSocket readers.
await Promise.all(pages.splice(1).map((p) => p.close()));
const readers = await Promise.all(Array.from({ length: 19 }, () => rawWebSocket(monitor.port)));
const third = await measure(monitor, pages, '1 page + 19 readers');
third.pages = 20;
runs.push(third);
for (const r of readers) r.socket.destroy();

await browser.close();
await monitor.stop();
await sender.stop();

// The walk's Nth accepted frame is the Nth the sender sent to the monitor's stream client.
const sent = fs.readFileSync(sendTimes, 'utf8').trim().split('\n').map((l) => Number(l.split(' ')[1]));
console.log(`telmora-monitor --serve, one 120 Hz subject, ${kSeconds} s each, on ${os.cpus().length} cores (Chromium's pages on the same machine)`);
for (const run of runs) {
  const drawn = [], received = [], toMonitor = [];
  for (const u of run.updates) {
    const s = u.streams[0];
    if (!s || !u.drawnMs || s.frames < 1 || s.frames > sent.length) continue;
    const sentAt = sent[s.frames - 1];
    drawn.push((u.drawnMs * 1000 - offset - sentAt) / 1000);
    received.push((u.receivedMs * 1000 - offset - sentAt) / 1000);
    toMonitor.push((s.lastFrameMicros - sentAt) / 1000);
  }
  const figure = (values) => `median ${percentile(values, 0.5).toFixed(1)} ms, p99 ${percentile(values, 0.99).toFixed(1)} ms`;
  console.log(`${run.label}: monitor CPU ${(run.cpu * 100).toFixed(1)} % of a core; ` +
    `${(run.bytesPerPage / 1024).toFixed(1)} KiB/s per page;\n  sendto -> state in the page ${figure(received)}; ` +
    `-> drawn ${figure(drawn)} (${drawn.length} updates; sendto -> monitor received ${figure(toMonitor)})`);
}
