// The live view as a person sees it: ostrel-acquire runs its simulator in alignment mode
// (--files 0) with --live, and Debian's chromium, driven by playwright-core, opens the page.
// Passes when the page loads without a console error, the file number it shows advances, every
// chart has data (the spectrum on a wavenumber axis), and it keeps a screenshot.
// Usage: node live_page_test.mjs --tool PATH --artefacts DIR
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

function option(name) {
  const at = process.argv.indexOf(name);
  if (at < 0 || at + 1 >= process.argv.length) throw new Error('missing ' + name);
  return process.argv[at + 1];
}

const tool = option('--tool');
const artefacts = option('--artefacts');
mkdirSync(artefacts, { recursive: true });
const scratch = mkdtempSync(join(tmpdir(), 'ostrel-live-page-'));
const failures = [];
const check = (condition, text) => { if (!condition) failures.push(text); };

function startTool() {
  // Two files a second or so, with the centre burst in view thanks to the calibration.
  const child = spawn(tool, ['--live', '0', '--files', '0', '--calibrate', '--points', '4096',
                             '--scans', '4', '--sim-scan-ms', '400', '--no-plot',
                             '--out', join(scratch, 'out')],
                      { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  let errors = '';
  child.stderr.on('data', (data) => { errors += data; });
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no live view URL; stderr: ' + errors)), 15000);
    child.stdout.on('data', (data) => {
      output += data;
      const found = /live view: (http:\/\/\S+)/.exec(output);
      if (found) { clearTimeout(timer); resolve(found[1]); }
    });
    child.on('exit', (code) => reject(new Error('tool ended early: ' + code + ' ' + errors)));
  });
  const ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return { child, url, ended, errors: () => errors };
}

const fileNumber = (page) => page.evaluate(() => window.liveView.lastFileNumber);

async function main() {
  const run = startTool();
  const url = await run.url;
  const profile = mkdtempSync(join(tmpdir(), 'ostrel-live-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const consoleErrors = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('console', (message) => {
      if (message.type() === 'error') consoleErrors.push(message.text());
    });
    page.on('pageerror', (error) => consoleErrors.push('page error: ' + error.message));
    page.on('requestfailed', (request) => {
      // The event stream is cut when the browser closes at the end; anything else is a fault.
      if (!request.url().endsWith('/events')) consoleErrors.push('failed: ' + request.url());
    });
    page.on('response', (response) => {
      if (response.status() >= 400) consoleErrors.push(response.status() + ' ' + response.url());
    });
    await page.goto(url, { waitUntil: 'load' });

    await page.waitForFunction(() => window.liveView.lastFileNumber !== null, null,
                               { timeout: 20000 });
    const first = await fileNumber(page);
    await page.waitForFunction((seen) => window.liveView.lastFileNumber >= seen + 2, first,
                               { timeout: 20000 });
    const later = await fileNumber(page);
    check(later >= first + 2, `file number did not advance (${first} then ${later})`);
    const shown = await page.textContent('#file-number');
    check(Number(shown) >= first + 2, 'the page shows file ' + shown);

    const charts = await page.evaluate(() => {
      const result = {};
      for (const [name, chart] of Object.entries(window.liveView.charts)) {
        result[name] = { rows: chart.numRows(), columns: chart.numColumns(),
                         x: chart.xAxisExtremes() };
      }
      return result;
    });
    for (const name of ['interferogram', 'zoom', 'spectrum', 'trend']) {
      check(charts[name] && charts[name].rows > 0, `chart ${name} has no data`);
    }
    if (charts.spectrum) {
      // High wavenumbers on the left: the axis starts at the highest one, 15798 / 2 cm-1, in
      // every file, however the curve was thinned.
      const left = -charts.spectrum.x[0];
      check(Math.abs(left - 15798 / 2) < 0.01,
            'spectrum axis starts at ' + left + ' cm-1 on the left, not at 7899');
    }
    check(charts.trend && charts.trend.rows >= 3, 'the trend holds fewer than 3 files');
    const burst = await page.textContent('#burst-values');
    check(/forward\s*[0-9]/.test(burst), 'no centre-burst height in large type: ' + burst);
    const progress = await page.textContent('#progress-text');
    check(/^file [0-9]+, scan/.test(progress), 'no progress line: ' + progress);
    check(await page.isHidden('#error'), 'an error is shown');

    // Let a few more files arrive so the trend shows a history, then keep what a person sees.
    await page.waitForFunction((seen) => window.liveView.lastFileNumber >= seen + 4, later,
                               { timeout: 20000 });
    await page.waitForTimeout(300);
    await page.screenshot({ path: join(artefacts, 'live-view.png') });
    console.log(`files ${first} -> ${await fileNumber(page)}; charts ` + JSON.stringify(charts));
  } finally {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
    run.child.kill('SIGINT');
  }
  const ended = await Promise.race([run.ended,
    new Promise((resolve) => setTimeout(() => resolve(null), 15000))]);
  check(ended !== null, 'the tool did not stop within 15 s of Ctrl-C');
  if (ended === null) run.child.kill('SIGKILL');
  else check(ended.code === 130, 'the tool ended with ' + JSON.stringify(ended) + ': ' + run.errors());
  for (const text of consoleErrors) failures.push('console: ' + text);
}

try {
  await main();
} catch (error) {
  failures.push(String(error && error.stack || error));
}
rmSync(scratch, { recursive: true, force: true });
if (failures.length > 0) {
  console.error('FAILED:\n  ' + failures.join('\n  '));
  process.exit(1);
}
console.log('passed; screenshot in ' + join(artefacts, 'live-view.png'));
