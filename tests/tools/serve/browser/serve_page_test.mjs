// The control page as a person uses it: ostrel-acquire serve runs its simulator with a
// demonstration sample, and Debian's chromium, driven by playwright-core, opens the URL with the
// token, marks a bad setting, connects, takes a 4-file background and a sample, sees the
// absorbance band where the sample put it, and downloads the absorbance JCAMP-DX, which
// jcampconverter (an independent reader) reads back. Keeps a screenshot.
// Usage: node serve_page_test.mjs --tool PATH --jcamp-reader PATH --artefacts DIR
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

function option(name) {
  const at = process.argv.indexOf(name);
  if (at < 0 || at + 1 >= process.argv.length) throw new Error('missing ' + name);
  return process.argv[at + 1];
}

const tool = option('--tool');
const jcampReader = option('--jcamp-reader');
const artefacts = option('--artefacts');
mkdirSync(artefacts, { recursive: true });
const scratch = mkdtempSync(join(tmpdir(), 'ostrel-serve-page-'));
const failures = [];
const check = (condition, text) => { if (!condition) failures.push(text); };
const band = { centre: 1500, hwhm: 30, peak: 0.8 };

function startServer() {
  const child = spawn(tool, ['serve', '--listen', '127.0.0.1:0', '--data', join(scratch, 'data'),
                             '--sim-scan-ms', '20',
                             '--sim-sample-absorber', `${band.centre}:${band.hwhm}:${band.peak}`],
                      { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  let errors = '';
  child.stderr.on('data', (data) => { errors += data; });
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no URL; stderr: ' + errors)), 15000);
    child.stdout.on('data', (data) => {
      output += data;
      const found = /serving: (http:\/\/\S+)/.exec(output);
      if (found) { clearTimeout(timer); resolve(found[1]); }
    });
    child.on('exit', (code) => reject(new Error('server ended early: ' + code + ' ' + errors)));
  });
  return { child, url };
}

// The strongest point of a curve between low and high cm-1.
function strongest(x, y, low, high) {
  let best = { x: 0, y: -Infinity };
  for (let k = 0; k < x.length; ++k) {
    const wavenumber = Math.abs(x[k]);
    if (wavenumber > low && wavenumber < high && y[k] !== null && y[k] > best.y) {
      best = { x: wavenumber, y: y[k] };
    }
  }
  return best;
}

async function main() {
  const server = startServer();
  const url = await server.url;
  const profile = mkdtempSync(join(tmpdir(), 'ostrel-serve-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true,
    viewport: { width: 1400, height: 1300 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const consoleErrors = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('console', (message) => {
      // The browser logs the expected 422 of the bad settings as a failed load.
      if (message.type() === 'error' && !/status of 422/.test(message.text())) {
        consoleErrors.push(message.text());
      }
    });
    page.on('pageerror', (error) => consoleErrors.push('page error: ' + error.message));
    const expectedStatus = new Set([422]);  // the bad settings below
    page.on('response', (response) => {
      if (response.status() >= 400 && !expectedStatus.has(response.status())) {
        consoleErrors.push(response.status() + ' ' + response.url());
      }
    });
    await page.goto(url, { waitUntil: 'load' });
    await page.waitForFunction(() => window.servePage.state !== null, null, { timeout: 10000 });
    check(!page.url().includes('token='), 'the token stays in the address bar: ' + page.url());
    check(await page.isDisabled('#sample'), 'Sample is enabled before connecting');
    check(await page.isDisabled('#stop'), 'Stop is enabled with no run');

    // A bad setting is marked, and nothing changes; then good ones are applied.
    await page.fill('#setting-points', '0');
    await page.fill('#setting-scans', 'many');
    await page.click('#apply-settings');
    await page.waitForSelector('#field-points.bad', { timeout: 5000 });
    check(await page.$('#field-scans.bad') !== null, 'scans is not marked');
    check(await page.$('#field-gain.bad') === null, 'gain is marked without fault');
    await page.fill('#setting-points', '16384');
    await page.fill('#setting-scans', '4');
    await page.uncheck('#setting-plot');
    await page.click('#apply-settings');
    await page.waitForFunction(() => document.querySelector('#field-points.bad') === null &&
                               window.servePage.state.settings.scans === 4, null,
                               { timeout: 5000 }).catch(() => {});

    await page.click('#connect');
    await page.waitForFunction(() => window.servePage.state.connection.connected, null,
                               { timeout: 10000 });

    await page.fill('#background-files', '4');
    await page.click('#background');
    await page.waitForFunction(() => window.servePage.state.running, null, { timeout: 10000 });
    check(await page.isDisabled('#sample'), 'Sample is enabled during a run');
    check(await page.isEnabled('#stop'), 'Stop is disabled during a run');
    await page.waitForFunction(() => !window.servePage.state.running &&
                               window.servePage.state.background.length > 0, null,
                               { timeout: 30000 });

    await page.fill('#sample-name', 'demo sample');
    await page.fill('#sample-files', '2');
    await page.click('#sample');
    await page.waitForFunction(() => window.servePage.spectrumKind === 'absorbance', null,
                               { timeout: 30000 });
    await page.waitForFunction(() => !window.servePage.state.running &&
                               window.servePage.runs.length === 2 &&
                               window.servePage.runs[0].state === 'complete', null,
                               { timeout: 30000 });
    const shown = await page.evaluate(() => window.servePage.lastFile.halves[0].spectrum);
    const shownPeak = strongest(shown.x, shown.y, 1000, 2000);
    check(Math.abs(shownPeak.x - band.centre) < 5, 'the page shows the band at ' + shownPeak.x);
    check(Math.abs(shownPeak.y - band.peak) < 0.1, 'the page shows the band at height ' + shownPeak.y);

    const runs = await page.evaluate(() => window.servePage.runs);
    check(runs[0].kind === 'sample' && runs[0].name === 'demo sample', 'newest run: ' + runs[0].kind);
    check(runs[1].kind === 'background', 'older run: ' + runs[1].kind);

    await page.click('#runs tbody tr:first-child button');
    const link = '#run-files a[data-file="absorbance-0002-forward.jdx"]';
    await page.waitForSelector(link, { timeout: 5000 });
    const [download] = await Promise.all([page.waitForEvent('download'), page.click(link)]);
    const saved = join(artefacts, 'absorbance-0002-forward.jdx');
    await download.saveAs(saved);
    const read = JSON.parse(execFileSync(process.execPath, [jcampReader, saved]).toString());
    const filePeak = strongest(read[0].x, read[0].y, 1000, 2000);
    check(Math.abs(filePeak.x - band.centre) < 2, 'the file has the band at ' + filePeak.x);
    check(Math.abs(filePeak.y - band.peak) < 0.05, 'the file has the band at height ' + filePeak.y);

    await page.screenshot({ path: join(artefacts, 'serve-page.png'), fullPage: true });
  } finally {
    await context.close();
    server.child.kill('SIGTERM');
  }
  for (const error of consoleErrors) failures.push('browser: ' + error);
  if (failures.length > 0) {
    console.error(failures.join('\n'));
    process.exit(1);
  }
  console.log('the control page measured a background and a sample; screenshot in ' + artefacts);
}

main().catch((error) => { console.error(error); process.exit(1); });
