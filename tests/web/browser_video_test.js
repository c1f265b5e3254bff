// The page's H.264 where the browser cannot decode it, and in a secure
// context over https. A `travik device` streams known files; `travik web
// --video h264` serves the page.
//   - no WebCodecs (VideoDecoder removed before the page loads), and
//     WebCodecs without H.264 (isConfigSupported says no): the page stays on
//     JPEG by itself and every picture is the device's, also after the
//     user switches a channel's H.264 toggle on;
//   - over https (--https-cert/--https-key): the page is a secure context and
//     decodes the channels with WebCodecs into the same pictures.
//
//   node browser_video_test.js TRAVIK_BINARY
// Exit 0 on success, 1 on failure. Bounded: every wait has a deadline and
// the whole run is stopped after 60 s (scaled by TRAVIK_TEST_TIME_SCALE).
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { testRun, gray, rgb, writeFiles, freePort, firstLine, comparePixels, launchOptions } =
  require('./browser_support');

const [travik] = process.argv.slice(2);
const CHROMIUM = process.env.TRAVIK_CHROMIUM || '/usr/bin/chromium';
const run = testRun('browser_video_test', travik);
const { tmp, children, log, fail, start, waitFor } = run;

async function startWeb(name, args) {
  const web = start(name, args);
  try {
    return await firstLine(web);
  } catch (e) {
    return fail(`${name} did not print its URL: ${e.message}`);
  }
}

// Ch 0 (gray) and ch 1 (RGB) show the device's pictures within `limit`.
async function picturesMatch(page, what, limit) {
  const g = await comparePixels(page, 0, (x, y) => [gray(x, y), gray(x, y), gray(x, y)]);
  const c = await comparePixels(page, 1, rgb);
  log(`${what}: ch0 ${JSON.stringify(g)}; ch1 ${JSON.stringify(c)}`);
  if (g.error || g.mae > limit) return fail(`${what}: ch0 pixels differ: ${JSON.stringify(g)}`);
  if (c.error || c.mae > limit) return fail(`${what}: ch1 pixels differ: ${JSON.stringify(c)}`);
  return true;
}

// A page at `url` whose WebCodecs is taken away by `disable` before any of
// its scripts run: it falls back to JPEG, also when the toggle is pressed.
async function checkFallback(url, what, disable) {
  const page = await run.browser.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.evaluateOnNewDocument(disable);
  await page.goto(url, { waitUntil: 'load' });
  await waitFor(page, `${what}: the page to know it cannot decode H.264`,
    () => window.travik.video.offered === 'h264' && window.travik.video.supported === false);
  await waitFor(page, `${what}: ch 0 and ch 1 to draw 5 JPEGs`,
    () => window.travik.frames[0] >= 5 && window.travik.frames[1] >= 5);
  await picturesMatch(page, what, 4);
  // The user asks for H.264 on ch 1 all the same: it stays JPEG and goes on.
  await page.click('.channel[data-channel="1"] button.video');
  const base = await page.evaluate(() => window.travik.frames[1]);
  await waitFor(page, `${what}: ch 1 to go on drawing after the toggle`, (b) => window.travik.frames[1] >= b + 5, base);
  await picturesMatch(page, `${what}, after the toggle`, 4);
  const state = await page.evaluate(() => ({ video: window.travik.videoFrames, errors: window.travik.errors }));
  if (state.video.some((n) => n !== 0)) return fail(`${what}: frames decoded as video: ${JSON.stringify(state)}`);
  const pressed = await page.$eval('.channel[data-channel="1"] button.video', (b) => b.classList.contains('on'));
  if (pressed) return fail(`${what}: the H.264 toggle shows on without a decoder`);
  if (pageErrors.length) return fail(`${what}: errors on the page: ${pageErrors.join('; ')}`);
  await page.close();
}

async function main() {
  let puppeteer;
  try {
    puppeteer = require('puppeteer-core');
  } catch (e) {
    return fail('puppeteer-core is not installed: run ./travik.sh deps (npm ci in tests/web)');
  }
  if (!fs.existsSync(CHROMIUM)) return fail(`no browser at ${CHROMIUM}: run ./travik.sh deps`);
  writeFiles(tmp);
  const devicePort = await freePort();
  const device = start('device', ['device', '--port', String(devicePort), '--images', tmp, '--fps', '20']);
  const url = await startWeb('web', ['web', `127.0.0.1:${devicePort}`, '--http', '127.0.0.1:0', '--interval', '50',
    '--video', 'h264']);
  log(`page at ${url}, device on port ${devicePort}`);
  const profile = fs.mkdtempSync(path.join(tmp, 'profile-'));
  run.browser = await puppeteer.launch(launchOptions(CHROMIUM, profile));

  await checkFallback(url, 'without WebCodecs', () => { delete window.VideoDecoder; });
  await checkFallback(url, 'WebCodecs without H.264', () => {
    if (window.VideoDecoder) window.VideoDecoder.isConfigSupported = async () => ({ supported: false });
  });

  // Over https: a secure context whatever the host, and the video path works.
  execFileSync('sh', [path.join(__dirname, '..', 'support', 'make_test_certs.sh'), tmp], { stdio: 'ignore' });
  const secureUrl = await startWeb('web (https)', ['web', `127.0.0.1:${devicePort}`, '--http', '127.0.0.1:0',
    '--interval', '50', '--video', 'h264', '--https-cert', path.join(tmp, 'device.pem'), '--https-key',
    path.join(tmp, 'device.key')]);
  if (!secureUrl.startsWith('https://')) return fail(`URL over TLS: ${secureUrl}`);
  const page = await run.browser.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(secureUrl, { waitUntil: 'load' });
  if (!(await page.evaluate(() => window.isSecureContext))) return fail('the https page is not a secure context');
  await waitFor(page, 'https: ch 0 and ch 1 to draw 5 frames decoded from H.264',
    () => window.travik.videoFrames[0] >= 5 && window.travik.videoFrames[1] >= 5);
  await picturesMatch(page, 'https, H.264', 12);
  if (pageErrors.length) return fail(`errors on the https page: ${pageErrors.join('; ')}`);
  if (device.exitCode !== null || children.some((c) => c.exitCode !== null)) return fail('a travik process exited early');

  await run.pass();
}

main().catch((e) => fail(e && e.stack ? e.stack : String(e)));
