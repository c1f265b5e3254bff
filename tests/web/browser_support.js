// Pieces the browser tests share: the travik processes of a run and its
// failure and clean-up, the device's known images, a free port for a
// device, the page's URL from `travik web`, and a canvas compared with the
// pixels the device sent.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const readline = require('readline');

const SCALE = Number(process.env.TRAVIK_TEST_TIME_SCALE || '1');

// One test run: its temporary folder, the processes it starts (`travik
// web` with the command TRAVIK_WEB_COMMAND, a JSON array, in front when set,
// e.g. ["wine", "travik.exe"]; the other subcommands with the travik binary
// given) and the browser;
// fail() prints their stderr, ends them all and exits 1. The whole run is
// stopped after 60 s (scaled by TRAVIK_TEST_TIME_SCALE).
function testRun(tag, travik) {
  const run = { children: [], browser: null, tmp: fs.mkdtempSync(path.join(os.tmpdir(), `${tag}-`)) };
  const web = process.env.TRAVIK_WEB_COMMAND ? JSON.parse(process.env.TRAVIK_WEB_COMMAND) : [travik];
  run.log = (...args) => console.log(`[${tag}]`, ...args);
  run.cleanup = async () => {
    if (run.browser) await run.browser.close().catch(() => {});
    for (const child of run.children) if (child.exitCode === null) child.kill('SIGKILL');
    fs.rmSync(run.tmp, { recursive: true, force: true });
  };
  run.fail = async (message) => {
    console.error(`[${tag}] FAIL: ${message}`);
    for (const child of run.children) console.error(`--- ${child.name} stderr (tail) ---\n${child.err.slice(-2000)}`);
    await run.cleanup();
    process.exit(1);
  };
  const watchdog = setTimeout(() => run.fail(`the whole test took over ${60 * SCALE} s`), 60000 * SCALE);
  run.pass = async () => {
    clearTimeout(watchdog);
    await run.cleanup();
    run.log('passed');
    process.exit(0);
  };
  run.start = (name, args, env = process.env) => {
    const [program, ...before] = args[0] === 'web' ? web : [travik];
    const child = spawn(program, [...before, ...args], { stdio: ['ignore', 'pipe', 'pipe'], env });
    child.name = name;
    child.err = '';
    child.stderr.on('data', (d) => { child.err = (child.err + d).slice(-20000); });
    run.children.push(child);
    return child;
  };
  run.waitFor = async (page, what, fn, arg, timeout = 20000) => {
    try {
      await page.waitForFunction(fn, { timeout: timeout * SCALE, polling: 50 }, arg);
    } catch (e) {
      const stats = await page.evaluate(() => JSON.stringify(window.travik)).catch(() => '?');
      await run.fail(`timed out waiting for ${what}; page stats ${stats}`);
    }
  };
  return run;
}

// The device streams these, one per channel (files in name order, one
// each per tick). Smooth gradients survive JPEG within a small error.
const W = 320, H = 240;
function gray(x, y) { return Math.round(((x + y) * 255) / (W + H - 2)); }
function rgb(x, y) { return [Math.round((x * 255) / (W - 1)), Math.round((y * 255) / (H - 1)), 96]; }

function writeFiles(dir) {
  const gpx = Buffer.alloc(W * H);
  const cpx = Buffer.alloc(W * H * 3);
  for (let y = 0; y < H; y++) {
    for (let x = 0; x < W; x++) {
      gpx[y * W + x] = gray(x, y);
      cpx.set(rgb(x, y), (y * W + x) * 3);
    }
  }
  fs.writeFileSync(path.join(dir, '0.pgm'), Buffer.concat([Buffer.from(`P5\n${W} ${H}\n255\n`), gpx]));
  fs.writeFileSync(path.join(dir, '1.ppm'), Buffer.concat([Buffer.from(`P6\n${W} ${H}\n255\n`), cpx]));
  fs.writeFileSync(path.join(dir, '2.pgm'), Buffer.concat([Buffer.from(`P5\n${W} ${H}\n255\n`), gpx]));
  fs.writeFileSync(path.join(dir, '3.bin'), Buffer.alloc(1000, 7));
}

// A port for the device that no other socket on this machine can be handed
// while the test waits to start the device: below the kernel's range for
// ports of its own choosing (every other test binds port 0), and free now.
function ephemeralLow() {
  try {
    return Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/)[0]);
  } catch (e) {
    return 32768;
  }
}

async function freePort() {
  const low = Math.max(ephemeralLow(), 2048);
  for (let attempt = 0; attempt < 50; attempt += 1) {
    const candidate = 1024 + Math.floor(Math.random() * (low - 1024));
    const ok = await new Promise((resolve) => {
      const server = net.createServer();
      server.once('error', () => resolve(false));
      server.listen(candidate, '127.0.0.1', () => server.close(() => resolve(true)));
    });
    if (ok) return candidate;
  }
  throw new Error('no free port below the ephemeral range');
}

// The first line `travik web` prints on standard output is the page's URL.
function firstLine(child) {
  return new Promise((resolve, reject) => {
    const rl = readline.createInterface({ input: child.stdout });
    rl.once('line', (line) => resolve(line.trim()));
    child.once('exit', (code) => reject(new Error(`${child.name} exited with ${code}`)));
  });
}

// Mean absolute difference between a channel's canvas and the expected
// pixels, and whether every pixel has R == G == B.
async function comparePixels(page, channel, expected) {
  const pixels = await page.evaluate((c) => {
    const canvas = document.querySelector(`.channel[data-channel="${c}"] canvas`);
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    return { width: canvas.width, height: canvas.height, data: Array.from(data) };
  }, channel);
  if (pixels.width !== W || pixels.height !== H) return { error: `canvas ${pixels.width}x${pixels.height}` };
  let sum = 0, grayEverywhere = true;
  for (let y = 0; y < H; y++) {
    for (let x = 0; x < W; x++) {
      const i = (y * W + x) * 4;
      const want = expected(x, y);
      const [r, g, b] = [pixels.data[i], pixels.data[i + 1], pixels.data[i + 2]];
      if (r !== g || g !== b) grayEverywhere = false;
      sum += Math.abs(r - want[0]) + Math.abs(g - want[1]) + Math.abs(b - want[2]);
    }
  }
  return { mae: sum / (W * H * 3), grayEverywhere };
}

// Headless chromium as the tests run it; --ignore-certificate-errors only
// for the https parts, whose certificates the tests make.
function launchOptions(executablePath, profileDir) {
  return {
    executablePath,
    headless: true,
    userDataDir: profileDir,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--window-size=1400,900', '--ignore-certificate-errors'],
  };
}

module.exports = { W, H, testRun, gray, rgb, writeFiles, freePort, firstLine, comparePixels, launchOptions };
