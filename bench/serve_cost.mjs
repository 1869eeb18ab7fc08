// What `ostrel-acquire serve` costs, as scenarios against its built-in simulator (not a timed
// test):
//  1. API latency while a run delivers about 50 files a second: GET /api/state and GET /api/runs
//     one after another, with an event-stream client connected, against the same requests to the
//     idle server in the same process run (the baseline); p50 and p99 of each, and the ratio.
//  2. The server's CPU beyond the acquisition at about one file a second: the server's CPU time
//     per file (its process holds the simulator too) with an event-stream client, against the
//     command line's (ostrel-acquire --files N, the same settings and simulator) per file.
// Uses Node's standard library only.
// Usage: node serve_cost.mjs --tool PATH [--seconds S] [--files N]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  if (at >= 0 && at + 1 < process.argv.length) return process.argv[at + 1];
  if (fallback !== undefined) return fallback;
  throw new Error('missing ' + name);
}

const tool = option('--tool');
const seconds = Number(option('--seconds', '10'));
const slowFiles = Number(option('--files', '12'));
const ticksPerSecond = 100;  // USER_HZ on Linux
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function cpuSeconds(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond;
}

async function startServer(extra = []) {
  const scratch = mkdtempSync(join(tmpdir(), 'ostrel-serve-cost-'));
  const child = spawn(tool, ['serve', '--listen', '127.0.0.1:0', '--data', join(scratch, 'data'),
                             '--quiet', ...extra], { stdio: ['ignore', 'pipe', 'inherit'] });
  const found = await new Promise((resolve, reject) => {
    let output = '';
    const timer = setTimeout(() => reject(new Error('no URL')), 15000);
    child.stdout.on('data', (data) => {
      output += data;
      const match = /serving: (http:\/\/[^/]+)\/#token=([0-9a-f]+)/.exec(output);
      if (match) { clearTimeout(timer); resolve(match); }
    });
  });
  const base = found[1];
  const headers = { Authorization: 'Bearer ' + found[2] };
  const call = async (method, path, body) => {
    const reply = await fetch(base + path, {
      method, headers: { ...headers, 'Content-Type': 'application/json' },
      body: body === undefined ? undefined : JSON.stringify(body),
    });
    const text = await reply.text();
    if (!reply.ok) throw new Error(`${method} ${path}: ${reply.status} ${text}`);
    return text ? JSON.parse(text) : null;
  };
  // An event-stream client, as an open page is: counts the bytes it is sent.
  const stream = { bytes: 0, files: 0, request: null };
  stream.request = http.get(base + '/events', { headers }, (response) => {
    response.on('data', (chunk) => {
      stream.bytes += chunk.length;
      stream.files += (chunk.toString().match(/^event: file$/gm) || []).length;
    });
  });
  stream.request.on('error', () => {});
  return { child, call, stream, stop: () => { stream.request.destroy(); child.kill('SIGTERM'); } };
}

function percentile(sorted, fraction) {
  return sorted[Math.min(sorted.length - 1, Math.floor(fraction * sorted.length))];
}

async function latencies(server, durationS) {
  const samples = { state: [], runs: [] };
  const until = Date.now() + durationS * 1000;
  while (Date.now() < until) {
    for (const [key, path] of [['state', '/api/state'], ['runs', '/api/runs?limit=10']]) {
      const begun = process.hrtime.bigint();
      await server.call('GET', path);
      samples[key].push(Number(process.hrtime.bigint() - begun) / 1e6);
    }
    await sleep(20);
  }
  const summary = {};
  for (const [key, values] of Object.entries(samples)) {
    values.sort((a, b) => a - b);
    summary[key] = { n: values.length, p50: percentile(values, 0.5), p99: percentile(values, 0.99) };
  }
  return summary;
}

async function latencyScenario() {
  // 4096 points, one scan of 12.5 ms and 5 ms to "ready": a file every 18 ms, of which some 50 a
  // second are fetched and saved.
  const server = await startServer(['--sim-scan-ms', '50']);
  try {
    await server.call('PUT', '/api/settings',
                      { points: 4096, scans: 1, plot: false, format: 'csv' });
    await server.call('POST', '/api/connection', {});
    const idle = await latencies(server, seconds / 2);
    const run = await server.call('POST', '/api/runs', { kind: 'sample', files: 0, name: 'load' });
    await sleep(1000);
    const before = (await server.call('GET', '/api/runs/' + run.id)).files.length;
    const beganAt = Date.now();
    const streamBefore = { bytes: server.stream.bytes, files: server.stream.files };
    const busy = await latencies(server, seconds);
    const elapsed = (Date.now() - beganAt) / 1000;
    const after = (await server.call('GET', '/api/runs/' + run.id)).files.length;
    await server.call('POST', `/api/runs/${run.id}/stop`, {});
    return {
      idle, busy, filesPerSecond: (after - before) / elapsed,
      streamFilesPerSecond: (server.stream.files - streamBefore.files) / elapsed,
      streamKBPerSecond: (server.stream.bytes - streamBefore.bytes) / 1024 / elapsed,
    };
  } finally {
    server.stop();
  }
}

// 16384 points, 4 scans of 240 ms: about one file a second, as in the live view's cost.
const slowSettings = { points: 16384, scans: 4 };

async function serverCpuPerFile() {
  const server = await startServer(['--sim-scan-ms', '240']);
  try {
    await server.call('PUT', '/api/settings', { ...slowSettings, plot: false });
    await server.call('POST', '/api/connection', {});
    const run = await server.call('POST', '/api/runs', { kind: 'sample', files: 0 });
    while ((await server.call('GET', '/api/runs/' + run.id)).files.length < 2) await sleep(50);
    const first = (await server.call('GET', '/api/runs/' + run.id)).files.length;
    const cpu0 = cpuSeconds(server.child.pid);
    let files = first;
    while (files < first + slowFiles) {
      await sleep(500);  // a page-like poll besides the stream
      files = (await server.call('GET', '/api/runs/' + run.id)).files.length;
    }
    const cpu = cpuSeconds(server.child.pid) - cpu0;
    await server.call('POST', `/api/runs/${run.id}/stop`, {});
    return cpu / (files - first);
  } finally {
    server.stop();
  }
}

async function commandLineCpuPerFile() {
  const scratch = mkdtempSync(join(tmpdir(), 'ostrel-serve-cost-cli-'));
  const child = spawn(tool, ['--files', '0', '--points', String(slowSettings.points), '--scans',
                             String(slowSettings.scans), '--sim-scan-ms', '240', '--no-plot',
                             '--out', join(scratch, 'out')],
                      { stdio: ['ignore', 'pipe', 'inherit'] });
  let saved = 0;
  child.stdout.on('data', (data) => { saved += (data.toString().match(/^saved /gm) || []).length; });
  while (saved < 2) await sleep(20);
  const first = saved;
  const cpu0 = cpuSeconds(child.pid);
  while (saved < first + slowFiles) await sleep(20);
  const cpu = cpuSeconds(child.pid) - cpu0;
  const files = saved - first;
  child.kill('SIGINT');
  await new Promise((resolve) => child.on('exit', resolve));
  return cpu / files;
}

const round = (value, digits = 2) => Number(value.toFixed(digits));
const latency = await latencyScenario();
const serverCpu = await serverCpuPerFile();
const cliCpu = await commandLineCpuPerFile();
const report = {
  api_latency_ms: {
    files_per_second_during_run: round(latency.filesPerSecond, 1),
    stream_file_events_per_second: round(latency.streamFilesPerSecond, 1),
    stream_kB_per_second: round(latency.streamKBPerSecond, 1),
    idle: latency.idle, during_run: latency.busy,
    p99_ratio_state: round(latency.busy.state.p99 / latency.idle.state.p99),
    p99_ratio_runs: round(latency.busy.runs.p99 / latency.idle.runs.p99),
  },
  cpu_seconds_per_file_at_one_file_per_second: {
    serve_with_a_stream_client: round(serverCpu, 4),
    command_line: round(cliCpu, 4),
    serve_beyond_acquisition: round(serverCpu - cliCpu, 4),
    ratio: round(serverCpu / cliCpu),
  },
};
console.log(JSON.stringify(report, (key, value) =>
  typeof value === 'number' ? Number(value.toFixed(3)) : value, 1));
