// Checks ostrel-acquire serve's OpenAPI document with validators written elsewhere: the document
// itself with @apidevtools/swagger-parser, then every JSON reply the serve tests received (JSON
// lines of {method, path, status, content_type, body}) against the schema the document gives for
// that path, method and status, with ajv. A status the document does not list fails too.
// The test programs given with --run are run first, each keeping its replies in FILE.
// Usage: node check_openapi.mjs --tool PATH --replies FILE [--run TEST_PROGRAM ...]
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import SwaggerParser from '@apidevtools/swagger-parser';
import Ajv from 'ajv';

function option(name) {
  const at = process.argv.indexOf(name);
  if (at < 0 || at + 1 >= process.argv.length) throw new Error('missing ' + name);
  return process.argv[at + 1];
}

async function fetchDocument(tool) {
  const scratch = mkdtempSync(join(tmpdir(), 'ostrel-openapi-'));
  const child = spawn(tool, ['serve', '--listen', '127.0.0.1:0', '--data', join(scratch, 'data'),
                             '--quiet'], { stdio: ['ignore', 'pipe', 'inherit'] });
  try {
    const url = await new Promise((resolve, reject) => {
      let output = '';
      const timer = setTimeout(() => reject(new Error('the server printed no URL')), 15000);
      child.stdout.on('data', (data) => {
        output += data;
        const found = /serving: (http:\/\/[^/]+)\/#token=([0-9a-f]+)/.exec(output);
        if (found) { clearTimeout(timer); resolve({ base: found[1], token: found[2] }); }
      });
    });
    const reply = await fetch(url.base + '/api/openapi.json',
                              { headers: { Authorization: 'Bearer ' + url.token } });
    return await reply.json();
  } finally {
    child.kill('SIGTERM');
  }
}

// OpenAPI 3.0's "nullable" as JSON Schema says it, for ajv.
function toJsonSchema(schema) {
  if (Array.isArray(schema)) return schema.map(toJsonSchema);
  if (schema === null || typeof schema !== 'object') return schema;
  const converted = {};
  for (const [key, value] of Object.entries(schema)) {
    if (key === 'nullable' || key === 'example') continue;
    converted[key] = toJsonSchema(value);
  }
  if (schema.nullable) return { anyOf: [converted, { type: 'null' }] };
  return converted;
}

function operationFor(document, method, path) {
  const bare = path.split('?')[0];
  for (const [template, operations] of Object.entries(document.paths)) {
    const pattern = new RegExp('^' + template.replace(/\{[^}]+\}/g, '[^/]+') + '$');
    if (pattern.test(bare) && operations[method.toLowerCase()]) {
      return { template, operation: operations[method.toLowerCase()] };
    }
  }
  return null;
}

async function main() {
  const tool = option('--tool');
  const repliesPath = option('--replies');
  const failures = [];
  const programs = process.argv.flatMap((argument, k) =>
    argument === '--run' ? [process.argv[k + 1]] : []);
  if (programs.length > 0) rmSync(repliesPath, { force: true });
  for (const program of programs) {
    const run = spawnSync(program, [], {
      env: { ...process.env, OSTREL_SERVE_REPLY_LOG: repliesPath },
      stdio: ['ignore', 'pipe', 'inherit'], timeout: 240000, maxBuffer: 64 * 1024 * 1024,
    });
    if (run.status !== 0) {
      // What failed, as GoogleTest reported it.
      const lines = String(run.stdout).split('\n');
      const report = lines.filter((line, k) => /Failure|FAILED|Expected|Which is|actual/.test(line) ||
                                                 /Failure/.test(lines[k - 1] ?? ''));
      failures.push(program + ' failed (' + (run.status ?? run.signal) + '):\n  ' +
                    report.slice(0, 30).join('\n  '));
    }
  }
  const document = await fetchDocument(tool);
  // validate() dereferences a copy; the original keeps its $refs for nothing else here.
  const api = await SwaggerParser.validate(structuredClone(document));
  const ajv = new Ajv({ allErrors: true, strict: false });
  const lines = existsSync(repliesPath)
    ? readFileSync(repliesPath, 'utf8').split('\n').filter((line) => line.trim() !== '') : [];
  if (lines.length === 0) failures.push('no replies recorded in ' + repliesPath);
  const checked = new Map();
  for (const line of lines) {
    const reply = JSON.parse(line);
    const found = operationFor(api, reply.method, reply.path);
    if (!found) {
      // Unknown paths answer 401 (no token), 404 or 405, with the error schema; any path 403
      // when it names a foreign host (the page's own paths are not API operations).
      if (![401, 403, 404, 405].includes(reply.status)) {
        failures.push(`${reply.method} ${reply.path}: not in the document (${reply.status})`);
      }
      continue;
    }
    const response = found.operation.responses[String(reply.status)];
    if (!response) {
      failures.push(`${reply.method} ${found.template}: status ${reply.status} not documented`);
      continue;
    }
    const schema = response.content?.['application/json']?.schema;
    if (!schema && reply.status < 300 && response.content) {
      continue;  // a run's own file (summary.json is JSON too), not an answer of the API
    }
    if (!schema) {
      failures.push(`${reply.method} ${found.template} ${reply.status}: no JSON schema`);
      continue;
    }
    const validate = ajv.compile(toJsonSchema(schema));
    if (!validate(JSON.parse(reply.body))) {
      failures.push(`${reply.method} ${reply.path} ${reply.status}: ` +
                    ajv.errorsText(validate.errors) + '\n  ' + reply.body.slice(0, 300));
    }
    const key = `${reply.method} ${found.template} ${reply.status}`;
    checked.set(key, (checked.get(key) || 0) + 1);
  }
  if (failures.length > 0) {
    console.error(failures.slice(0, 40).join('\n'));
    process.exit(1);
  }
  console.log(`the document is valid OpenAPI ${api.openapi}; ${lines.length} replies follow it ` +
              `(${checked.size} kinds: ${[...checked.keys()].sort().join(', ')})`);
}

main().catch((error) => { console.error(error); process.exit(1); });
