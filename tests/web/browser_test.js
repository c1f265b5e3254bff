// The live page in a real browser: a `travik device` streams four known
// files, `travik web` serves the page, the system's chromium (headless)
// opens it. Checks that every channel draws, that the pixels are the ones
// the device sent (gray stays gray), that the log pane shows the device's
// lines, that switching a channel off on the page stops it at the
// device, and that a channel switched to H.264 on the page is decoded by
// WebCodecs into the same canvas with the same picture. The web process is started before the device and outlives it:
// the page shows both changes. Saves a screenshot. Then the same page over
// https with a token: 401 without it, the link's cookie opens the page and
// its wss.
//
//   node browser_test.js TRAVIK_BINARY ARTIFACT_DIR
// Exit 0 on success, 1 on failure. Bounded: every wait has a deadline and
// the whole run is stopped after 60 s (scaled by TRAVIK_TEST_TIME_SCALE).
// TRAVIK_WEB_COMMAND (a JSON array, e.g. ["wine", "travik.exe"]) runs the
// web processes with another build of the tool; the device stays
// TRAVIK_BINARY, and without it the test is skipped (exit 77).
'use strict';

const fs = require('fs');
const path = require('path');
const { testRun, gray, rgb, writeFiles, freePort, firstLine, comparePixels, launchOptions } =
  require('./browser_support');

const [travik, artifacts] = process.argv.slice(2);
const CHROMIUM = process.env.TRAVIK_CHROMIUM || '/usr/bin/chromium';
const run = testRun('browser_test', travik);
const { tmp, log, fail, start, waitFor } = run;

async function main() {
  let puppeteer;
  try {
    puppeteer = require('puppeteer-core');
  } catch (e) {
    return fail('puppeteer-core is not installed: run ./travik.sh deps (npm ci in tests/web)');
  }
  if (!fs.existsSync(CHROMIUM)) return fail(`no browser at ${CHROMIUM}: run ./travik.sh deps`);
  if (!fs.existsSync(travik)) {
    log(`skipped: no travik at ${travik} for the device`);
    await run.cleanup();
    process.exit(77);
  }
  fs.mkdirSync(artifacts, { recursive: true });
  writeFiles(tmp);

  // The web process starts first: it keeps retrying until the device is up.
  const devicePort = await freePort();
  const web = start('web', ['web', `127.0.0.1:${devicePort}`, '--http', '127.0.0.1:0', '--logs',
    '--interval', '50']);
  let url;
  try {
    url = await firstLine(web);
  } catch (e) {
    return fail(`travik web did not print its URL: ${e.message}`);
  }
  log(`page at ${url}, device on port ${devicePort}`);

  const browser = await puppeteer.launch(launchOptions(CHROMIUM, fs.mkdtempSync(path.join(tmp, 'profile-'))));
  run.browser = browser;
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 900 });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(url, { waitUntil: 'load' });
  await waitFor(page, 'the page to show the device as not connected yet',
    () => window.travik.page === 'connected' && window.travik.device === 'connecting');
  const device = start('device', ['device', '--port', String(devicePort), '--images', tmp, '--fps', '20',
    '--log-rate', '10']);

  await waitFor(page, 'every channel to draw 3 frames', () => window.travik.frames.every((n) => n >= 3));
  await waitFor(page, 'a device log line in the log pane',
    () => document.querySelector('#log').textContent.includes('device log line'));
  await waitFor(page, 'the device link to show connected',
    () => document.querySelector('#link-device').classList.contains('up'));

  const grayCheck = await comparePixels(page, 0, (x, y) => [gray(x, y), gray(x, y), gray(x, y)]);
  const rgbCheck = await comparePixels(page, 1, rgb);
  log(`ch0 gray: ${JSON.stringify(grayCheck)}; ch1 rgb: ${JSON.stringify(rgbCheck)}`);
  if (grayCheck.error || grayCheck.mae > 3) return fail(`ch0 pixels differ: ${JSON.stringify(grayCheck)}`);
  if (!grayCheck.grayEverywhere) return fail('ch0 is a gray image but was drawn with colour');
  if (rgbCheck.error || rgbCheck.mae > 4) return fail(`ch1 pixels differ: ${JSON.stringify(rgbCheck)}`);
  const caption3 = await page.$eval('.channel[data-channel="3"] figcaption', (e) => e.textContent);
  if (!caption3.includes('opaque') || !caption3.includes('1000 bytes')) return fail(`ch3 caption: ${caption3}`);

  // Channel 2 off on the page: the state last sent says so, and the device
  // stops sending it while channel 0 goes on.
  await page.click('button.ch[data-channel="2"]');
  await waitFor(page, 'the page to show ch 2 as sent off', () => window.travik.sent.channels[2] === false);
  const base = await page.evaluate(() => window.travik.frames[0]);
  await waitFor(page, 'ch 0 to go on', (b) => window.travik.frames[0] >= b + 10, base);
  const stopped = await page.evaluate(() => window.travik.frames[2]);
  await waitFor(page, 'ch 0 to go on further', (b) => window.travik.frames[0] >= b + 25, base);
  const after = await page.evaluate(() => window.travik.frames[2]);
  if (after !== stopped) return fail(`ch 2 kept drawing after it was switched off (${stopped} -> ${after})`);
  await page.click('button.ch[data-channel="2"]');
  await waitFor(page, 'ch 2 to draw again', (s) => window.travik.frames[2] > s, stopped);

  // Bad input from a page never takes the tool down: it answers with an error.
  await page.evaluate(() => {
    window.travikTestSocket = new WebSocket(`ws://${location.host}/ws`);
    window.travikTestSocket.onopen = () => window.travikTestSocket.send('{"type":"command","interval":0}');
    window.travikTestSocket.onmessage = (e) => {
      if (typeof e.data === 'string' && JSON.parse(e.data).type === 'error') window.travikTestError = e.data;
    };
  });
  await waitFor(page, 'an error reply to a bad command', () => !!window.travikTestError);

  const shot = path.join(artifacts, 'travik-web.png');
  await page.screenshot({ path: shot });
  log(`screenshot saved to ${shot}`);
  if (pageErrors.length) return fail(`errors on the page: ${pageErrors.join('; ')}`);
  if (web.exitCode !== null || device.exitCode !== null) return fail('a travik process exited early');

  // Channel 1 as H.264: the page's toggle, frames decoded by WebCodecs,
  // the picture the device sent (within what the codec loses), the rate
  // in the caption; and back to JPEG.
  const offered = await page.evaluate(() => window.travik.video.offered);
  if (offered !== 'jpeg') return fail(`hello offered video '${offered}' (a build without video?)`);
  await page.click('.channel[data-channel="1"] button.video');
  await waitFor(page, 'ch 1 to draw 5 frames decoded from H.264', () => window.travik.videoFrames[1] >= 5);
  const codec = await page.evaluate(() => window.travik.video.codecs[1]);
  if (!/^avc1\.42[0-9a-f]{4}$/.test(codec)) return fail(`codec string ${codec} is not baseline H.264`);
  const videoCheck = await comparePixels(page, 1, rgb);
  log(`ch1 H.264 (${codec}): ${JSON.stringify(videoCheck)}`);
  if (videoCheck.error || videoCheck.mae > 12) return fail(`ch1 H.264 pixels differ: ${JSON.stringify(videoCheck)}`);
  const videoCaption = await page.$eval('.channel[data-channel="1"] figcaption', (e) => e.textContent);
  if (!videoCaption.includes('H.264') || !videoCaption.includes('kb/s')) return fail(`ch1 caption: ${videoCaption}`);
  await page.click('.channel[data-channel="1"] button.video');
  const jpegFrames = await page.evaluate(() => window.travik.frames[1]);
  const videoFrames = await page.evaluate(() => window.travik.videoFrames[1]);
  await waitFor(page, 'ch 1 to draw JPEG again', (n) => window.travik.frames[1] >= n + 5, jpegFrames);
  if (await page.evaluate(() => window.travik.videoFrames[1]) > videoFrames + 2)
    return fail('ch 1 went on decoding H.264 after switching back');
  if (pageErrors.length) return fail(`errors on the page: ${pageErrors.join('; ')}`);

  // The device goes away: the page says so, and the web process stays up.
  device.kill('SIGINT');
  await waitFor(page, 'the page to show the device connection lost', () => window.travik.device === 'lost');
  if (web.exitCode !== null) return fail('travik web exited when the device went away');

  // Exposed set-up: https with a token. Without the cookie the page is 401;
  // the link sets it and redirects to "/", and the page's wss gets in with it.
  require('child_process').execFileSync('sh', [path.join(__dirname, '..', 'support', 'make_test_certs.sh'), tmp],
    { stdio: 'ignore' });
  const cert = path.join(tmp, 'device.pem'), key = path.join(tmp, 'device.key');
  const token = 'browser-test-token-0123456789';
  const secure = start('web (https)', ['web', `127.0.0.1:${devicePort}`, '--http', '127.0.0.1:0', '--https-cert', cert,
    '--https-key', key], { ...process.env, TRAVIK_WEB_TOKEN: token });
  let secureUrl;
  try {
    secureUrl = await firstLine(secure);
  } catch (e) {
    return fail(`travik web over TLS did not print its URL: ${e.message}`);
  }
  if (!secureUrl.startsWith('https://')) return fail(`URL over TLS: ${secureUrl}`);
  const stranger = await (await browser.createBrowserContext()).newPage();
  const refused = await stranger.goto(secureUrl);
  if (refused.status() !== 401) return fail(`the page without the token answered ${refused.status()}`);
  const tab = await browser.newPage();
  await tab.goto(`${secureUrl}?token=${token}`, { waitUntil: 'load' });
  if (tab.url() !== secureUrl) return fail(`the token link left the address bar at ${tab.url()}`);
  await waitFor(tab, 'the https page to connect its wss', () => window.travik.page === 'connected');
  if (secure.err.includes(token)) return fail('the token appeared on stderr');

  await run.pass();
}

main().catch((e) => fail(e && e.stack ? e.stack : String(e)));
