// Loads the monitor page in headless Chromium, sends colouring lines over TCP
// and checks that the right node changes colour, then RESET clears it.
// Usage: node pelmmon_page_test.js PATH/TO/orvel-pelmmon [SCREENSHOT.png]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const monitor = process.argv[2];
const shot = process.argv[3] || path.join(os.tmpdir(), 'orvel-pelmmon-page.png');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

function fail(msg) { console.error('FAIL: ' + msg); process.exitCode = 1; }

function startMonitor(coords) {
  return new Promise((resolve, reject) => {
    const child = spawn(monitor, ['--listen', '127.0.0.1', '--port', '0', '--coords', coords,
                                  '--http', '127.0.0.1:0', '--no-view'], { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    const ports = {};
    const timer = setTimeout(() => reject(new Error('monitor did not start: ' + err)), 10000);
    child.stderr.on('data', d => {
      err += d.toString();
      const c = /colouring lines on 127\.0\.0\.1:(\d+)/.exec(err);
      const h = /page at http:\/\/127\.0\.0\.1:(\d+)\//.exec(err);
      if (c && h && !ports.colour) {
        ports.colour = +c[1]; ports.http = +h[1];
        clearTimeout(timer);
        resolve({ child, ports });
      }
    });
    child.on('exit', code => reject(new Error('monitor exited ' + code + ': ' + err)));
  });
}

function sendLine(port, line) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => s.end(line));
    s.on('close', resolve);
    s.on('error', reject);
  });
}

async function colourOf(page, node) {
  return page.getAttribute('[id="node-' + node + '"]', 'data-colour');
}

async function waitColour(page, node, want) {
  await page.waitForFunction(([n, w]) => {
    const c = document.getElementById('node-' + n);
    return c && c.getAttribute('data-colour') === w;
  }, [node, want], { timeout: 10000 });
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pelmmon-'));
  const coords = path.join(dir, 'pelm.coords');
  fs.writeFileSync(coords, '10.0.0.1 1 2 3\n10.0.0.2 5 1 0\n10.9.0.1 2 2 2\n');
  const { child, ports } = await startMonitor(coords);
  const browser = await chromium.launch({
    executablePath: CHROMIUM, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  let passed = 0, failed = 0;
  const check = (ok, what) => { if (ok) passed++; else { failed++; fail(what); } };
  try {
    const page = await browser.newPage();
    await page.goto('http://127.0.0.1:' + ports.http + '/');
    await page.waitForSelector('[id="node-10.9.0.1"]', { timeout: 10000 });
    check(await colourOf(page, '10.0.0.1') === '0', 'client starts uncoloured');

    await sendLine(ports.colour, '10.0.0.1 1\n');
    await waitColour(page, '10.0.0.1', '1');
    await sendLine(ports.colour, '10.9.0.1 5\n');
    await waitColour(page, '10.9.0.1', '5');
    check(await colourOf(page, '10.0.0.1') === '1', 'client coloured 1');
    check(await colourOf(page, '10.9.0.1') === '5', 'selected node coloured 5');
    check(await colourOf(page, '10.0.0.2') === '0', 'other node stays uncoloured');
    const fill = await page.getAttribute('[id="node-10.9.0.1"]', 'fill');
    check(fill && fill !== (await page.getAttribute('[id="node-10.0.0.2"]', 'fill')),
          'selected node drawn in another colour');
    await page.screenshot({ path: shot, clip: { x: 0, y: 0, width: 760, height: 580 } });

    await sendLine(ports.colour, 'RESET 0\n');
    await waitColour(page, '10.9.0.1', '0');
    check(await colourOf(page, '10.0.0.1') === '0', 'RESET clears the client');
  } catch (e) {
    failed++;
    fail(String(e));
  } finally {
    await browser.close();
    const exited = new Promise(resolve => child.on('exit', (code, sig) => resolve(code)));
    child.kill('SIGTERM');
    const code = await Promise.race([exited, new Promise(r => setTimeout(() => r('hung'), 5000))]);
    if (code === 'hung') child.kill('SIGKILL');
    check(code === 0, 'monitor exits with status 0 on SIGTERM (got ' + code + ')');
  }
  console.log('screenshot: ' + shot);
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exit(failed ? 1 : 0);
})();
