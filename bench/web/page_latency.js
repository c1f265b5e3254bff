// For the benchmark: opens a running live page in the system's chromium
// and reports images drawn per second and device stage -> drawn latency
// over a window, as one JSON line on standard output.
//   node bench/web/page_latency.js URL SECONDS
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
// puppeteer-core is installed for the browser test (npm ci in tests/web).
const puppeteer = require(require.resolve('puppeteer-core', { paths: [path.join(__dirname, '..', '..', 'tests', 'web')] }));

function pct(values, p) {
  if (!values.length) return 0;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.round((p / 100) * (sorted.length - 1)))];
}

(async () => {
  const [url, secondsText] = process.argv.slice(2);
  const seconds = Math.min(Math.max(Number(secondsText) || 5, 1), 60);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'travik-latency-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.TRAVIK_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1400, height: 860 });
    await page.goto(url, { waitUntil: 'load' });
    await page.waitForFunction(() => window.travik.frames.every((n) => n >= 5), { timeout: 30000, polling: 100 });
    const before = await page.evaluate(() => {
      window.travik.latencyUs.length = 0;
      return window.travik.frames.reduce((a, b) => a + b, 0);
    });
    await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
    const result = await page.evaluate(() => ({
      frames: window.travik.frames.reduce((a, b) => a + b, 0),
      latency: window.travik.latencyUs.slice(),
    }));
    console.log(JSON.stringify({
      imagesPerSecond: (result.frames - before) / seconds,
      p50Ms: pct(result.latency, 50) / 1000,
      p99Ms: pct(result.latency, 99) / 1000,
    }));
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
})().catch((e) => { console.error(e); process.exit(1); });
