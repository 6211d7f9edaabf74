// The set monitor's page in headless Chromium, against the test sender and the monitor on
// loopback.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  freeUdpPort, launchBrowser, openPage, pixelsOfColour, rawRequest, rawWebSocket, startMonitor,
  startSender, statusOf, streamCard, waitFor, watch,
} from './harness.mjs';

const kServer = 'Stage A';
const framesNow = (monitorState, subject) =>
  monitorState.streams.find((s) => s.subject === subject)?.frames ?? 0;

describe('the set monitor page on loopback', () => {
  let announcePort, sender, monitor, browser, page;
  before(async () => {
    announcePort = await freeUdpPort();
    sender = startSender(announcePort);
    monitor = await startMonitor(announcePort);
    browser = await launchBrowser();
    page = await openPage(browser, monitor.url);
  });
  after(async () => {
    await browser?.close();
    await monitor?.stop();
    await sender?.stop();
  });

  test('lists the sender and its subjects; a watched subject is drawn and its numbers move', async () => {
    for (const subject of ['walk', 'dance']) {
      await watch(page, kServer, subject);
      const first = await waitFor(`'${subject}' green`, async () => {
        const card = await streamCard(page, subject);
        return card?.light === 'green' && card.frames > 0 && card;
      });
      assert.match(first.text, /^\d+ Hz · last frame \d+ ms ago · 0 refused · 0 gaps$/);
      await waitFor(`'${subject}' frame count moving`,
        async () => (await streamCard(page, subject)).frames > first.frames + 60);
      await waitFor(`'${subject}' skeleton drawn in its colour`,
        async () => (await pixelsOfColour(page, first.colour)) > 150);
    }
    const where = await page.$eval('.server .where', (e) => e.textContent);
    assert.match(where, /^127\.0\.0\.1:\d+$/);
    assert.deepEqual(page.errors, []);
  });

  test('a second page shows the same state, plots included', async () => {
    const second = await openPage(browser, monitor.url);
    await waitFor('both subjects on the second page', async () =>
      (await streamCard(second, 'walk'))?.light === 'green' &&
      (await streamCard(second, 'dance'))?.light === 'green');
    const samples = await second.evaluate(() => document.querySelectorAll('#ratePlot canvas').length);
    assert.equal(samples, 1);
    await second.close();
  });

  test('pausing the sender turns its streams red within 0.5 s; resuming turns them green', async () => {
    for (let round = 0; round < 2; ++round) {
      await waitFor('walk green', async () => (await streamCard(page, 'walk')).light === 'green');
      const stopped = Date.now();
      sender.child.kill('SIGSTOP');
      const red = await waitFor('walk red', async () => {
        const card = await streamCard(page, 'walk');
        return card.light === 'red' && card;
      }, 2000, 5);
      const tookMs = Date.now() - stopped;
      sender.child.kill('SIGCONT');
      assert.match(red.text, /^no frames for \d+\.\d s$/);
      assert.ok(tookMs < 500, `red after ${tookMs} ms`);
      await waitFor('walk green again', async () => (await streamCard(page, 'walk')).light === 'green', 3000);
    }
    const card = await streamCard(page, 'walk');
    assert.match(card.text, / · [1-9]\d* gaps?$/);
  });

  test('20 pages at once all keep up with the 120 Hz stream', async () => {
    const pages = await Promise.all(Array.from({ length: 20 },
      () => openPage(browser, monitor.url, { width: 480, height: 360 })));
    const counts = () => Promise.all(pages.map((p) => p.evaluate(() => window.telmoraMonitor?.states ?? 0)));
    // Twenty pages starting at once share two cores: measured once each has settled.
    await waitFor('every page receiving', async () => (await counts()).every((n) => n > 30), 30000);
    const before = await counts();
    const started = Date.now();
    await waitFor('two seconds of states', async () => Date.now() - started > 2000);
    const after = await counts();
    const latest = await page.evaluate(() => window.telmoraMonitor.lastState);
    for (let i = 0; i < pages.length; ++i) {
      const rate = (after[i] - before[i]) / ((Date.now() - started) / 1000);
      assert.ok(rate > 20, `page ${i} got ${rate.toFixed(1)} states a second`);
      const state = await pages[i].evaluate(() => window.telmoraMonitor.lastState);
      const behind = framesNow(latest, 'walk') - framesNow(state, 'walk');
      assert.ok(behind < 240, `page ${i} is ${behind} frames behind (${rate.toFixed(1)} states a second)`);
    }
    await Promise.all(pages.map((p) => p.close()));
  });

  test('a page that stops reading does not slow the others, and gets the newest state when it reads again', async () => {
    const sleeper = await rawWebSocket(monitor.port);
    assert.equal(sleeper.status, 101);
    await waitFor('the sleeper receiving', () => sleeper.messages.length > 5);
    sleeper.socket.pause();
    const before = await page.evaluate(() => window.telmoraMonitor.states);
    const started = Date.now();
    await waitFor('three seconds', async () => Date.now() - started > 3000);
    const rate = (await page.evaluate(() => window.telmoraMonitor.states) - before) / 3;
    assert.ok(rate > 30, `the awake page got ${rate.toFixed(1)} states a second`);

    const received = sleeper.messages.length;
    sleeper.socket.resume();
    await waitFor('the sleeper current again', async () => {
      const latest = await page.evaluate(() => window.telmoraMonitor.lastState);
      const newest = sleeper.messages[sleeper.messages.length - 1];
      return sleeper.messages.length > received && framesNow(latest, 'walk') - framesNow(newest, 'walk') < 60;
    }, 3000);
    sleeper.socket.destroy();
  });

  test('the page reconnects by itself when the monitor restarts, says so, and watches again', async () => {
    const port = monitor.port;
    await monitor.stop();
    await waitFor('the page saying the monitor is gone', () =>
      page.$eval('#connection', (e) => /^Monitor unreachable/.test(e.textContent)));
    monitor = await startMonitor(announcePort, `127.0.0.1:${port}`);
    await waitFor('the page saying it is back', () =>
      page.$eval('#connection', (e) => e.textContent === 'Reconnected to the monitor'), 10000);
    await waitFor('walk and dance streaming again', async () =>
      (await streamCard(page, 'walk'))?.light === 'green' &&
      (await streamCard(page, 'dance'))?.light === 'green', 10000);
  });
});

describe('the set monitor beyond loopback', () => {
  let announcePort, monitor;
  before(async () => {
    announcePort = await freeUdpPort();
    monitor = await startMonitor(announcePort, '0.0.0.0:0');
  });
  after(async () => monitor?.stop());

  test('prints a URL with a token and refuses requests without it', async () => {
    assert.match(monitor.token, /^[0-9a-f]{32}$/);
    const get = (path, headers = '') => rawRequest(monitor.port,
      `GET ${path} HTTP/1.1\r\nHost: 127.0.0.1\r\n${headers}\r\n`);
    assert.equal(statusOf(await get('/')), 403);
    assert.equal(statusOf(await get('/?token=' + 'f'.repeat(32))), 403);
    assert.equal(statusOf(await get('/lib/three.module.js')), 403);
    const page = await get('/?token=' + monitor.token);
    assert.equal(statusOf(page), 200);
    const cookie = /Set-Cookie: (telmora_token=[0-9a-f]+)/.exec(page)[1];
    assert.equal(statusOf(await get('/lib/three.module.js', `Cookie: ${cookie}\r\n`)), 200);
    assert.equal((await rawWebSocket(monitor.port)).status, 403);
    assert.equal((await rawWebSocket(monitor.port, '/ws', { Cookie: cookie })).status, 101);
    assert.equal((await rawWebSocket(monitor.port, '/ws', { Cookie: cookie, Origin: 'http://evil.example' })).status, 403);
  });

  test('bad requests get a 4xx or a closed connection, and the monitor goes on', async () => {
    const token = monitor.token;
    const cases = [
      ['malformed request line', 'GARBAGE\r\n\r\n'],
      ['path traversal', `GET /../../etc/passwd?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`],
      ['encoded traversal', `GET /lib/%2e%2e/%2e%2e/etc/passwd?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`],
      ['unknown path', `GET /secrets?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`],
      ['a method that changes things', `POST /?token=${token} HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi`],
      ['oversized header', `GET /?token=${token} HTTP/1.1\r\nHost: x\r\nX-Big: ${'a'.repeat(40000)}\r\n\r\n`],
      ['oversized target', `GET /${'a'.repeat(5000)}?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`],
      ['binary noise', Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 151) & 0xff))],
    ];
    for (const [what, bytes] of cases) {
      const status = statusOf(await rawRequest(monitor.port, bytes));
      assert.ok(status === 0 || (status >= 400 && status < 500), `${what}: ${status}`);
    }
    // A flood of connections that send nothing, then a real request.
    const { default: net } = await import('node:net');
    const flood = Array.from({ length: 300 }, () => net.connect(monitor.port, '127.0.0.1').on('error', () => {}));
    const reply = await rawRequest(monitor.port, `GET /?token=${token} HTTP/1.1\r\nHost: x\r\n\r\n`);
    assert.equal(statusOf(reply), 200);
    for (const socket of flood) socket.destroy();
  });
});
