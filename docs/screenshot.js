// Saves a screenshot of a running live page once every channel has drawn a
// few frames and the log pane has lines (docs/travik-web.png).
//   node docs/screenshot.js URL OUT.png
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
// puppeteer-core is installed for the browser test (npm ci in tests/web).
const puppeteer = require(require.resolve('puppeteer-core', { paths: [path.join(__dirname, '..', 'tests', 'web')] }));

(async () => {
  const [url, out] = process.argv.slice(2);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'travik-shot-'));
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
    await page.waitForFunction(() => window.travik.frames.every((n) => n >= 10) && window.travik.logLines >= 20,
      { timeout: 30000, polling: 100 });
    await page.screenshot({ path: out });
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
})().catch((e) => { console.error(e); process.exit(1); });
