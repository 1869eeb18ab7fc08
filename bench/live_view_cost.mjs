// What the live view costs the acquisition tool: ostrel-acquire runs its simulator at about one
// file a second, once without --live and once with --live and the page open in Debian's
// chromium; the tool's own CPU time (from /proc) over the same number of files gives the extra
// share of one core. The bytes handed to the page per file come from /api/state.
// The page is driven by playwright-core as installed by tests/tools/live/browser/install.sh.
// Usage: node live_view_cost.mjs --tool PATH --playwright DIR/node_modules/playwright-core
//        [--files N]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  if (at >= 0 && at + 1 < process.argv.length) return process.argv[at + 1];
  if (fallback !== undefined) return fallback;
  throw new Error('missing ' + name);
}

const tool = option('--tool');
const { chromium } = await import(pathToFileURL(join(resolve(option('--playwright')), 'index.mjs')).href);
const measuredFiles = Number(option('--files', '20'));
const warmUpFiles = 3;
const ticksPerSecond = 100;  // USER_HZ on Linux

function cpuSeconds(pid) {
  // Fields after the command name, which is in parentheses and may hold spaces.
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond;
}

// Runs the tool until warmUpFiles + measuredFiles files are saved; CPU and time are taken over
// the measured files only. With live, a page follows the run meanwhile.
async function measure(live) {
  const scratch = mkdtempSync(join(tmpdir(), 'ostrel-live-cost-'));
  const args = ['--files', '0', '--calibrate', '--points', '16384', '--scans', '4',
                '--sim-scan-ms', '240', '--no-plot', '--out', join(scratch, 'out')];
  if (live) args.unshift('--live', '0');
  const child = spawn(tool, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  const ended = new Promise((resolve) => child.on('exit', resolve));
  let output = '';
  let saved = 0;
  let start = null;
  let finished = false;
  let context = null;
  let url = null;
  const done = new Promise((resolve) => {
    child.stdout.on('data', async (data) => {
      output += data;
      const found = /live view: (http:\/\/\S+)/.exec(output);
      if (found && url === null) url = found[1];
      saved = (output.match(/^saved /gm) || []).length;
      if (saved >= warmUpFiles && start === null) {
        start = { cpu: cpuSeconds(child.pid), time: Date.now(), state: await state(url) };
      }
      if (saved >= warmUpFiles + measuredFiles && start !== null && !finished) {
        finished = true;
        resolve({ cpu: cpuSeconds(child.pid), time: Date.now(), state: await state(url) });
      }
    });
  });
  if (live) {
    while (url === null) await new Promise((resolve) => setTimeout(resolve, 20));
    const profile = mkdtempSync(join(tmpdir(), 'ostrel-live-cost-chromium-'));
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1400, height: 900 },
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
  }
  const end = await done;
  if (context) await context.close();
  child.kill('SIGINT');
  await ended;
  rmSync(scratch, { recursive: true, force: true });
  const seconds = (end.time - start.time) / 1000;
  const result = { seconds, cpu: end.cpu - start.cpu, filesPerSecond: measuredFiles / seconds };
  if (live) {
    result.bytesPerFile = (end.state.event_bytes - start.state.event_bytes) / measuredFiles;
  }
  return result;
}

async function state(url) {
  if (url === null) return null;
  const response = await fetch(url + 'api/state');
  return response.json();
}

const without = await measure(false);
const withLive = await measure(true);
const share = (run) => 100 * run.cpu / run.seconds;
console.log(`without --live: ${share(without).toFixed(2)} % of one core ` +
            `(${without.cpu.toFixed(2)} s CPU in ${without.seconds.toFixed(1)} s, ` +
            `${without.filesPerSecond.toFixed(2)} files/s)`);
console.log(`with --live and the page open: ${share(withLive).toFixed(2)} % of one core ` +
            `(${withLive.cpu.toFixed(2)} s CPU in ${withLive.seconds.toFixed(1)} s, ` +
            `${withLive.filesPerSecond.toFixed(2)} files/s)`);
console.log(`extra CPU of the live view: ${(share(withLive) - share(without)).toFixed(2)} % of ` +
            `one core (ratio ${(share(withLive) / share(without)).toFixed(2)})`);
console.log(`bytes sent to the page per file: ${Math.round(withLive.bytesPerFile)}`);
