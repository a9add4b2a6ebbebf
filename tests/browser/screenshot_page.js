// Takes a picture of a running monitor's page once it lists a search, e.g.
// for docs/monitor.png during `scripts/demo.sh --keep`.
// Usage: node screenshot_page.js http://127.0.0.1:PORT/ OUT.png
'use strict';
const { chromium } = require('playwright-core');

(async () => {
  const [url, out] = process.argv.slice(2);
  if (!url || !out) {
    console.error('usage: node screenshot_page.js URL OUT.png');
    process.exit(64);
  }
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    await page.goto(url);
    await page.waitForSelector('#history li', { timeout: 15000 });
    await page.screenshot({ path: out });
    console.log('wrote ' + out);
  } finally {
    await browser.close();
  }
})().catch(e => { console.error(String(e)); process.exit(1); });
