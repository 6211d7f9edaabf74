// The README's picture of the set monitor: the test sender's walk and dance watched, taken by
// headless Chromium once the plots hold a few seconds.
//   node tests/browser/screenshot.mjs OUT.png   (scripts/monitor_figures.sh --screenshot)

import {
  freeUdpPort, launchBrowser, openPage, startMonitor, startSender, streamCard, waitFor, watch,
} from './harness.mjs';

const out = process.argv[2] || 'monitor.png';
const announcePort = await freeUdpPort();
const sender = startSender(announcePort);
const monitor = await startMonitor(announcePort);
const browser = await launchBrowser();
try {
  const page = await openPage(browser, monitor.url, { width: 1280, height: 760 });
  for (const subject of ['walk', 'dance']) {
    await watch(page, 'Stage A', subject);
    await waitFor(`${subject} green`, async () => (await streamCard(page, subject))?.light === 'green');
  }
  await waitFor('eight seconds of plots', () =>
    page.evaluate(() => window.telmoraMonitor.lastState?.t > 9), 20000, 100);
  await page.screenshot({ path: out });
  console.log(`Wrote ${out}`);
} finally {
  await browser.close();
  await monitor.stop();
  await sender.stop();
}
