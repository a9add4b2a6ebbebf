// Loads the monitor page in headless Chromium, sends colouring lines over TCP
// and checks what an operator sees: the right nodes change colour; a client
// and the node chosen for it, however close in coordinates, are drawn at
// least 20 px apart and both show in the screenshot's pixels; the search
// stays in the picture and in the history after RESET; nodes without
// coordinates are drawn apart; a search that goes quiet ends without a
// choice while the earlier choices stay drawn; candidates and computing
// nodes are marked; at 800 and 1280 px wide the map, the legend and the
// history all lie inside the window; and a 1000-node file stays readable.
// Usage: node pelmmon_page_test.js PATH/TO/orvel-pelmmon [SCREENSHOT.png]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const { chromium } = require('playwright-core');

const monitor = process.argv[2];
const shot = process.argv[3] || path.join(os.tmpdir(), 'orvel-pelmmon-page.png');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const APART_PX = 20;

let passed = 0, failed = 0;
function check(ok, what) {
  if (ok) { passed++; return; }
  failed++;
  console.error('FAIL: ' + what);
}

function startMonitor(coords, extra = []) {
  return new Promise((resolve, reject) => {
    const child = spawn(monitor, ['--listen', '127.0.0.1', '--port', '0', '--coords', coords,
                                  '--http', '127.0.0.1:0', '--no-view', ...extra], { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    const ports = {};
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('monitor did not start: ' + err)); }, 10000);
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

async function stopMonitor(child) {
  const exited = new Promise(resolve => child.on('exit', code => resolve(code)));
  child.kill('SIGTERM');
  // Soon, though the page still holds its connections open (keep-alive,
  // the event stream).
  const code = await Promise.race([exited, new Promise(r => setTimeout(() => r('hung'), 2500))]);
  if (code === 'hung') child.kill('SIGKILL');
  check(code === 0, 'monitor exits with status 0 within 2.5 s of SIGTERM (got ' + code + ')');
}

function sendLine(port, line) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => s.end(line));
    s.on('close', resolve);
    s.on('error', reject);
  });
}

// Minimal PNG reader for Chromium's screenshots (8-bit RGB or RGBA, not
// interlaced): returns {width, height, rgb(x, y)}.
function readPng(buf) {
  let off = 8, width = 0, height = 0, type = 0;
  const idat = [];
  while (off < buf.length) {
    const len = buf.readUInt32BE(off), kind = buf.toString('ascii', off + 4, off + 8);
    const data = buf.subarray(off + 8, off + 8 + len);
    if (kind === 'IHDR') {
      width = data.readUInt32BE(0); height = data.readUInt32BE(4); type = data[9];
      if (data[8] !== 8 || data[12] !== 0 || (type !== 2 && type !== 6)) throw new Error('unexpected PNG format');
    } else if (kind === 'IDAT') {
      idat.push(data);
    }
    off += 12 + len;
  }
  const bpp = type === 6 ? 4 : 3, stride = width * bpp;
  const raw = zlib.inflateSync(Buffer.concat(idat)), px = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const f = raw[y * (stride + 1)], src = y * (stride + 1) + 1, dst = y * stride;
    for (let i = 0; i < stride; i++) {
      const a = i >= bpp ? px[dst + i - bpp] : 0, b = y ? px[dst + i - stride] : 0;
      const c = i >= bpp && y ? px[dst + i - stride - bpp] : 0;
      let v = raw[src + i];
      if (f === 1) v += a;
      else if (f === 2) v += b;
      else if (f === 3) v += (a + b) >> 1;
      else if (f === 4) { const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c); v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c; }
      px[dst + i] = v & 255;
    }
  }
  return { width, height, rgb: (x, y) => { const o = y * stride + x * bpp; return [px[o], px[o + 1], px[o + 2]]; } };
}

function hexRgb(hex) { return [1, 3, 5].map(i => parseInt(hex.substr(i, 2), 16)); }
function near(a, b) { return a.every((v, i) => Math.abs(v - b[i]) <= 12); }

async function centre(page, node) {
  const box = await page.locator('[id="node-' + node + '"]').boundingBox();
  return box && [box.x + box.width / 2, box.y + box.height / 2];
}

// The client and its chosen node: centres at least APART_PX apart, inside
// the viewport, and each centre pixel of the screenshot in its own fill (so
// neither hides under the other or under a label).
async function checkPairVisible(page, client, chosen, file, what) {
  const a = await centre(page, client), b = await centre(page, chosen);
  check(a && b, what + ': both markers are laid out');
  if (!a || !b) return;
  const d = Math.hypot(a[0] - b[0], a[1] - b[1]);
  check(d >= APART_PX, what + ': client and chosen node ' + d.toFixed(1) + ' px apart, want >= ' + APART_PX);
  await page.screenshot({ path: file });
  const png = readPng(fs.readFileSync(file));
  for (const [node, p, role] of [[client, a, 'client'], [chosen, b, 'chosen']]) {
    const x = Math.round(p[0]), y = Math.round(p[1]);
    const inside = x >= 0 && y >= 0 && x < png.width && y < png.height;
    check(inside, what + ': ' + role + ' ' + node + ' inside the screenshot');
    if (!inside) continue;
    const fill = await page.getAttribute('[id="node-' + node + '"]', 'fill');
    const got = png.rgb(x, y);
    check(near(got, hexRgb(fill)), what + ': ' + role + ' ' + node + ' visible in its colour ' + fill + ', pixel is ' + got);
  }
}

async function waitAttr(page, node, attr, want) {
  await page.waitForFunction(([n, a, w]) => {
    const c = document.getElementById('node-' + n);
    return c && c.getAttribute(a) === w;
  }, [node, attr, want], { timeout: 10000 });
}

// RESET clears the live colours but the search stays drawn and listed; a
// second search opens a new entry and the first can be shown again.
async function resetAndHistory(page, ports, line) {
  await sendLine(ports.colour, 'RESET 0\n');
  await waitAttr(page, '10.0.0.4', 'data-colour', '0');
  check(await page.getAttribute('[id="node-10.0.0.1"]', 'data-colour') === '0', 'RESET clears the live colour');
  check(await page.getAttribute('[id="node-10.0.0.1"]', 'data-role') === 'client', 'after RESET the client is still drawn as client');
  check(await line.count() === 1, 'after RESET the line stays');
  await page.waitForFunction(() => /ended/.test(document.querySelector('#history li').textContent), null, { timeout: 10000 });
  const first = await page.textContent('#history li');
  check(/^\d\d:\d\d:\d\d\.\d{3}/.test(first) && first.includes('10.0.0.1 \u2192 10.0.0.4'),
        'history entry is time-stamped and names the pair: ' + first);

  // A second search opens a new entry; the first stays and can be shown.
  await sendLine(ports.colour, '10.0.0.2 1\n');
  await sendLine(ports.colour, '10.5.0.1 5\n');
  await waitAttr(page, '10.5.0.1', 'data-role', 'chosen');
  check(await page.locator('#history li').count() === 2, 'two searches listed');
  check(await page.getAttribute('[id="node-10.0.0.4"]', 'data-role') === 'candidate',
        'the newest search is shown, the node chosen before now one of its candidates');
  await page.click('#history li:nth-child(2)');
  await waitAttr(page, '10.0.0.4', 'data-role', 'chosen');
  check(await page.getAttribute('[id="node-10.5.0.1"]', 'data-role') === 'idle', 'an older search can be shown again');
}

// A node the file does not place is drawn in its own strip, visible.
async function unplacedNode(page, ports) {
  await sendLine(ports.colour, '10.7.7.7 1\n');
  await waitAttr(page, '10.7.7.7', 'data-colour', '1');
  const box = await page.locator('[id="node-10.7.7.7"]').boundingBox();
  check(box && box.x >= 0 && box.y >= 0 && box.x + box.width <= 1280 && box.y + box.height <= 800,
        'unplaced node drawn inside the page: ' + JSON.stringify(box));
  check(await page.locator('#unplaced [id="node-10.7.7.7"]').count() === 1, 'unplaced node in the strip for them');
}

async function smallCase(browser, dir) {
  const coords = path.join(dir, 'pelm.coords');
  // 10.0.0.4 lies 0.001 from 10.0.0.1 in the third dimension: on a plane of
  // the first two coordinates they would cover each other.
  fs.writeFileSync(coords, '10.0.0.1 1 2 3\n10.0.0.2 5 1 0\n10.9.0.1 2 2 2\n10.0.0.4 1 2 3.001\n10.5.0.1 9 0 4\n');
  const { child, ports } = await startMonitor(coords);
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    await page.goto('http://127.0.0.1:' + ports.http + '/');
    await page.waitForSelector('[id="node-10.9.0.1"]', { timeout: 10000 });
    check(await page.getAttribute('[id="node-10.0.0.1"]', 'data-colour') === '0', 'client starts uncoloured');
    check((await page.locator('#legend [data-legend]').count()) === 8,
          'legend names idle, client, candidate, chosen, computing node, both lines and the other colours');

    await sendLine(ports.colour, '10.0.0.1 1\n');
    await waitAttr(page, '10.0.0.1', 'data-colour', '1');
    await sendLine(ports.colour, '10.0.0.4 5\n');
    await waitAttr(page, '10.0.0.4', 'data-colour', '5');
    check(await page.getAttribute('[id="node-10.0.0.2"]', 'data-colour') === '0', 'other node stays uncoloured');
    const fills = await Promise.all(['10.0.0.1', '10.0.0.4', '10.0.0.2'].map(
        n => page.getAttribute('[id="node-' + n + '"]', 'fill')));
    check(new Set(fills).size === 3, 'client, chosen and idle nodes have three fills: ' + fills);
    await checkPairVisible(page, '10.0.0.1', '10.0.0.4', shot, 'near pair');
    const line = page.locator('line.choice[data-client="10.0.0.1"][data-chosen="10.0.0.4"]');
    check(await line.count() === 1, 'a line joins the client to its chosen node');
    check(/d = 1\.00e-3/.test(await page.locator('text.dist').first().textContent()),
          'the line carries the distance');

    // Hover details.
    await page.hover('[id="node-10.0.0.4"]');
    const det = await page.textContent('#details');
    check(det.includes('1 2 3.001') && det.includes('chosen for 10.0.0.1'), 'hover details: ' + det);

    await resetAndHistory(page, ports, line);
    await unplacedNode(page, ports);
  } finally {
    await stopMonitor(child);
  }
}

// Is the element laid out wholly inside the window?
async function inView(page, selector) {
  const box = await page.locator(selector).first().boundingBox();
  const vp = page.viewportSize();
  return !!box && box.width > 0 && box.height > 0 && box.x >= 0 && box.y >= 0 &&
         box.x + box.width <= vp.width + 0.5 && box.y + box.height <= vp.height + 0.5;
}

async function pixelIs(page, png, node, want, what) {
  const p = await centre(page, node);
  const x = Math.round(p[0]), y = Math.round(p[1]);
  const inside = x >= 0 && y >= 0 && x < png.width && y < png.height;
  check(inside && near(png.rgb(x, y), hexRgb(want)),
        what + ': ' + node + ' shows ' + want + (inside ? ', pixel is ' + png.rgb(x, y) : ', outside the picture'));
}

// Two searches with a choice, then one whose client gets nothing more: it
// ends without a choice after the idle second, the earlier choices stay on
// the map, the computing nodes known from them are framed and offered as
// its candidates; all of it inside the window at 800 and at 1280 px.
async function outcomeAndLayoutCase(browser, dir) {
  const coords = path.join(dir, 'outcome.coords');
  fs.writeFileSync(coords, '10.0.0.1 0 0 0\n10.0.0.2 10 0 0\n10.0.0.3 4 6 0\n' +
                           '10.9.0.1 1 1 0\n10.9.0.2 9 1 0\n10.4.0.1 3 8 1\n10.4.0.2 7 8 1\n');
  const { child, ports } = await startMonitor(coords, ['--search-idle', '1']);
  try {
    for (const l of ['10.0.0.1 1', '10.9.0.1 5', 'RESET 0', '10.0.0.2 1', '10.9.0.2 5', 'RESET 0', '10.0.0.3 1'])
      await sendLine(ports.colour, l + '\n');
    for (const [width, height] of [[800, 600], [1280, 800]]) {
      const what = width + ' px';
      const page = await browser.newPage({ viewport: { width, height } });
      await page.goto('http://127.0.0.1:' + ports.http + '/');
      await page.waitForFunction(() => /without a choice/.test((document.querySelector('#history li') || {}).textContent),
                                 null, { timeout: 10000 });
      check(await page.getAttribute('#history li', 'class') === 'search shown failed', what + ': the quiet search is shown, marked failed');
      const out = await page.textContent('#outcome');
      check(/ended without a choice \(no line for 1 s\) for 10\.0\.0\.3: candidates 10\.9\.0\.1 \(d = 5\.83\), 10\.9\.0\.2 \(d = 7\.07\)/.test(out),
            what + ': the outcome says why and names the candidates: ' + out);
      check(await page.locator('line.earlier').count() === 2, what + ': both earlier choices stay drawn');
      for (const n of ['10.9.0.1', '10.9.0.2']) {
        check(await page.getAttribute('[id="node-' + n + '"]', 'data-role') === 'candidate', what + ': ' + n + ' is a candidate');
        check(await page.locator('rect.computing[data-node="' + n + '"]').count() === 1, what + ': ' + n + ' framed as computing node');
      }
      check(await page.getAttribute('[id="node-10.0.0.1"]', 'data-kind') === 'host', what + ': a client is an end host');
      check(await page.locator('rect.computing').count() === 2, what + ': only the computing nodes are framed');
      check(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth),
            what + ': no sideways scrolling');
      for (const sel of ['#map', '#outcome', '#legend [data-legend="computing"]', '#legend [data-legend="other"]',
                         '#history li', '#details', '[id="node-10.0.0.3"]', '[id="node-10.9.0.2"]'])
        check(await inView(page, sel), what + ': ' + sel + ' inside the window');
      const file = shot.replace(/\.png$/, '') + '-' + width + '.png';
      await page.screenshot({ path: file });
      const png = readPng(fs.readFileSync(file));
      check(png.width === width && png.height === height, what + ': screenshot is ' + png.width + 'x' + png.height);
      await pixelIs(page, png, '10.0.0.3', '#d62728', what + ': client');
      await pixelIs(page, png, '10.9.0.1', '#9ecae1', what + ': candidate');
      await pixelIs(page, png, '10.4.0.1', '#d6d6d6', what + ': idle node (grey, a quarter see-through)');
      // The legend's first row and the newest history entry show in the
      // picture: their boxes hold pixels that are not the page's background.
      for (const sel of ['#legend [data-legend="candidate"] i', '#history li.failed']) {
        const b = await page.locator(sel).first().boundingBox();
        let ink = 0;
        for (let x = Math.ceil(b.x); x < b.x + b.width && x < png.width; x++)
          for (let y = Math.ceil(b.y); y < b.y + b.height && y < png.height; y++)
            if (!near(png.rgb(x, y), [250, 250, 250]) && !near(png.rgb(x, y), [255, 255, 255])) ink++;
        check(ink > 10, what + ': ' + sel + ' drawn in the screenshot (' + ink + ' pixels)');
      }
      console.log('screenshot: ' + file);
      if (width === 1280) {
        // A late choice still belongs to the quiet search.
        await sendLine(ports.colour, '10.9.0.1 5\n');
        await waitAttr(page, '10.9.0.1', 'data-role', 'chosen');
        check(await page.locator('#history li').count() === 3, 'a late choice reopens the quiet search');
        check((await page.textContent('#history li')).includes('10.0.0.3 \u2192 10.9.0.1'), 'and pairs it with its client');
        check(await page.getAttribute('[id="node-10.9.0.2"]', 'data-role') === 'candidate', 'the other candidate stays marked');
      }
      await page.close();
    }
  } finally {
    await stopMonitor(child);
  }
}

async function thousandCase(browser, dir) {
  // 1000 nodes in four dimensions on a 0..100 grid; the client and its
  // chosen node are 0.01 apart.
  const lines = [];
  let seed = 7;
  const rnd = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return (seed / 2147483648) * 100; };
  for (let i = 0; i < 998; i++) lines.push('10.' + (i >> 8) + '.' + (i & 255) + '.1 ' + [rnd(), rnd(), rnd(), rnd()].map(v => v.toFixed(3)).join(' '));
  lines.push('10.200.0.1 50 50 50 50', '10.200.0.2 50 50 50 50.01');
  const coords = path.join(dir, 'big.coords');
  fs.writeFileSync(coords, lines.join('\n') + '\n');
  const { child, ports } = await startMonitor(coords);
  try {
    const page = await browser.newPage({ viewport: { width: 1140, height: 820 } });
    await page.goto('http://127.0.0.1:' + ports.http + '/');
    await page.waitForSelector('[id="node-10.200.0.2"]', { timeout: 20000 });
    check(await page.locator('#map circle').count() === 1000, '1000 nodes drawn on the map');
    await sendLine(ports.colour, '10.200.0.1 1\n');
    await sendLine(ports.colour, '10.200.0.2 5\n');
    await waitAttr(page, '10.200.0.2', 'data-role', 'chosen');
    await checkPairVisible(page, '10.200.0.1', '10.200.0.2', path.join(dir, 'big.png'), '1000 nodes');
    const labels = await page.locator('#map text').count();
    check(labels <= 70, 'at 1000 nodes only marked nodes are labelled (' + labels + ' labels)');
    // Zooming in spreads the nodes: two idle nodes get further apart.
    const before = await Promise.all(['10.0.0.1', '10.0.1.1'].map(n => centre(page, n)));
    await page.click('#zin');
    await page.click('#zin');
    const after = await Promise.all(['10.0.0.1', '10.0.1.1'].map(n => centre(page, n)));
    const span = p => Math.hypot(p[0][0] - p[1][0], p[0][1] - p[1][1]);
    check(span(after) > span(before) * 2, 'zoom in spreads nodes: ' + span(before).toFixed(1) + ' -> ' + span(after).toFixed(1));
  } finally {
    await stopMonitor(child);
  }
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pelmmon-'));
  const browser = await chromium.launch({
    executablePath: CHROMIUM, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  try {
    for (const [name, run] of [['small', smallCase], ['outcome and layout', outcomeAndLayoutCase],
                               ['1000 nodes', thousandCase]]) {
      try {
        await run(browser, dir);
      } catch (e) {
        check(false, name + ': ' + (e && e.stack || e));
      }
    }
  } finally {
    await browser.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  console.log('screenshot: ' + shot);
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exit(failed ? 1 : 0);
})();
