// The instrument's control page: the session's state and its runs from the server's API, the
// latest file drawn as the live view draws it, and buttons that call the API. The token comes in
// the URL's fragment (never sent anywhere but here); the page swaps it for an HttpOnly cookie at
// once and removes it from the address bar, so that reloads, downloads and the event stream are
// authorised by the cookie.
'use strict';

(function () {
  const colours = { forward: '#1f6fd1', reverse: '#d1531f', combined: '#2b2b2b' };
  const pending = { file: null, progress: null, dirty: false };
  const charts = {};
  const element = (id) => document.getElementById(id);
  // What the browser test and a curious person can inspect from the console.
  const page = window.servePage = {
    state: null, lastFileNumber: null, spectrumKind: null, lastFile: null, runs: [],
    errorsShown: 0,
  };

  // The settings form: name, label, and the choices where there are few.
  const settingFields = [
    ['points', 'points per direction'], ['scans', 'scans per file'],
    ['direction', 'direction', [[1, 'forward'], [2, 'reverse'], [3, 'both']]],
    ['gain', 'gain'], ['skip', 'skip points'],
    ['laser_wavenumber', 'laser wavenumber / cm⁻¹'], ['undersampling', 'undersampling'],
    ['apodization', 'apodization'], ['zero_fill', 'zero fill', [[1, '1'], [2, '2'], [4, '4'], [8, '8']]],
    ['phase', 'phase', [['mertz', 'mertz'], ['magnitude', 'magnitude'], ['power', 'power']]],
    ['phase_resolution', 'phase resolution / cm⁻¹'],
    ['range_low', 'range low / cm⁻¹'], ['range_high', 'range high / cm⁻¹'],
    ['format', 'formats (csv,json,jcamp,hdf5)'],
    ['jcamp_form', 'JCAMP-DX form', [['affn', 'affn'], ['difdup', 'difdup']]],
    ['background_threshold_percent', 'background threshold / %'],
    ['plot', 'draw plot.png', 'checkbox'],
  ];

  function formatNumber(value) {
    if (value === null || value === undefined || !isFinite(value)) return '–';
    const size = Math.abs(value);
    if (size !== 0 && (size >= 1e6 || size < 1e-2)) return value.toExponential(3);
    return value.toPrecision(5);
  }

  async function api(method, path, body) {
    const options = { method: method, credentials: 'same-origin', headers: {} };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    const response = await fetch(path, options);
    let json = null;
    if ((response.headers.get('Content-Type') || '').startsWith('application/json')) {
      json = await response.json();
    }
    return { status: response.status, ok: response.ok, json: json };
  }

  function showError(message, detail, hint) {
    element('error').hidden = false;
    element('error-message').textContent = message;
    element('error-detail').textContent = detail || '';
    element('error-hint').textContent = hint ? 'hint: ' + hint : '';
    page.errorsShown += 1;
  }

  // Runs an API call from a button: the button is off while it goes, an error is shown.
  async function act(button, method, path, body) {
    button.disabled = true;
    element('error').hidden = true;
    try {
      const reply = await api(method, path, body);
      if (!reply.ok) {
        const fields = reply.json && reply.json.fields ? Object.entries(reply.json.fields)
          .map(([name, problem]) => name + ': ' + problem).join('; ') : '';
        showError(reply.json ? reply.json.error : 'HTTP ' + reply.status, fields, '');
      }
      return reply;
    } catch (failure) {
      showError('the server cannot be reached', String(failure), 'is ostrel-acquire serve running?');
      return { ok: false };
    } finally {
      applyState(page.state);
    }
  }

  // --- the state: what is allowed now ---------------------------------------------------------

  function applyState(state) {
    if (!state) return;
    page.state = state;
    const connected = state.connection.connected;
    const running = state.running;
    const idle = connected && !running;
    element('connect').disabled = running;
    element('disconnect').disabled = !idle;
    element('calibrate').disabled = !idle;
    element('align').disabled = !idle;
    element('background').disabled = !idle;
    element('sample').disabled = !idle;
    element('stop').disabled = !running;
    element('clear-background').disabled = running || state.background.length === 0;
    element('apply-settings').disabled = running;
    const where = connected ? (state.connection.simulator ? 'built-in simulator'
                                                          : state.connection.address) : '';
    element('instrument').textContent = connected ? where + ' · ' + state.driver_status.text
                                                  : 'not connected';
    element('connection-text').textContent = connected
      ? 'connected to ' + where + ' (instrument version ' + state.connection.instrument_version +
        (state.connection.calibrated_skip >= 0
          ? ', calibrated: skip ' + state.connection.calibrated_skip : '') + ')'
      : 'not connected';
    element('background-text').textContent = state.background.length > 0
      ? 'background: ' + state.background.join(', ') + ' — sample spectra are absorbance'
      : 'no background: spectra are single beams';
    const badge = element('badge');
    if (running) {
      badge.textContent = state.active_run.kind + ' running';
      badge.className = 'badge running';
    } else {
      badge.textContent = connected ? 'ready' : 'not connected';
      badge.className = 'badge ' + (connected ? 'live' : 'waiting');
    }
    if (!formEdited) fillSettings(state.settings);
  }

  // --- settings ---------------------------------------------------------------------------------

  let formEdited = false;

  function buildSettingsForm() {
    const box = element('settings-fields');
    for (const [name, text, choices] of settingFields) {
      const field = document.createElement('div');
      field.className = 'field';
      field.id = 'field-' + name;
      const label = document.createElement('label');
      label.textContent = text;
      let input;
      if (Array.isArray(choices)) {
        input = document.createElement('select');
        for (const [value, shown] of choices) {
          const option = document.createElement('option');
          option.value = String(value);
          option.textContent = shown;
          input.append(option);
        }
      } else {
        input = document.createElement('input');
        input.type = choices === 'checkbox' ? 'checkbox' : 'text';
      }
      input.name = name;
      input.addEventListener('input', () => { formEdited = true; });
      label.htmlFor = input.id = 'setting-' + name;
      const problem = document.createElement('div');
      problem.className = 'problem';
      field.append(label, input, problem);
      box.append(field);
    }
  }

  function fillSettings(settings) {
    for (const [name] of settingFields) {
      const input = element('setting-' + name);
      const value = settings[name];
      if (input.type === 'checkbox') input.checked = Boolean(value);
      else input.value = value === null || value === undefined ? '' : String(value);
    }
  }

  // The form's values as JSON: numbers where the text is a number, so that a wrong entry reaches
  // the server as it is and comes back named.
  function readSettings() {
    const body = {};
    for (const [name, , choices] of settingFields) {
      const input = element('setting-' + name);
      if (choices === 'checkbox') { body[name] = input.checked; continue; }
      const text = input.value.trim();
      if (text === '' && (name === 'range_low' || name === 'range_high')) continue;
      const number = Number(text);
      body[name] = text !== '' && !Number.isNaN(number) ? number : text;
    }
    return body;
  }

  function markFields(fields) {
    for (const [name] of settingFields) {
      const field = element('field-' + name);
      const problem = fields && fields[name];
      field.classList.toggle('bad', Boolean(problem));
      field.querySelector('.problem').textContent = problem || '';
    }
  }

  async function applySettings(event) {
    event.preventDefault();
    const reply = await act(element('apply-settings'), 'PUT', '/api/settings', readSettings());
    markFields(reply.json && reply.json.fields);
    if (reply.ok) {
      formEdited = false;
      element('settings-text').textContent = 'applied';
      fillSettings(reply.json);
    } else {
      element('settings-text').textContent = reply.status === 422 ? 'the marked fields are wrong' : '';
    }
  }

  // --- runs ---------------------------------------------------------------------------------------

  let selectedRun = null;

  async function loadRuns() {
    const reply = await api('GET', '/api/runs?limit=50');
    if (!reply.ok) return;
    page.runs = reply.json.runs;
    const body = element('runs').querySelector('tbody');
    body.replaceChildren();
    for (const run of reply.json.runs) {
      const row = document.createElement('tr');
      row.dataset.run = run.id;
      if (run.id === selectedRun) row.className = 'selected';
      for (const text of [run.started.replace('T', ' ').replace(/\.\d+Z$/, ''), run.kind, run.name,
                          run.state, String(run.files.length)]) {
        const cell = document.createElement('td');
        cell.textContent = text;
        row.append(cell);
      }
      const actions = document.createElement('td');
      const show = document.createElement('button');
      show.type = 'button';
      show.className = 'link';
      show.textContent = 'files';
      show.addEventListener('click', () => showRunFiles(run.id));
      const zip = document.createElement('a');
      zip.href = '/api/runs/' + encodeURIComponent(run.id) + '/zip';
      zip.textContent = 'zip';
      zip.download = run.id + '.zip';
      actions.append(show, ' ', zip);
      row.append(actions);
      body.append(row);
    }
    if (selectedRun) showRunFiles(selectedRun);
  }

  async function showRunFiles(id) {
    selectedRun = id;
    for (const row of element('runs').querySelectorAll('tbody tr')) {
      row.classList.toggle('selected', row.dataset.run === id);
    }
    const reply = await api('GET', '/api/runs/' + encodeURIComponent(id) + '/files');
    const box = element('run-files');
    box.replaceChildren();
    if (!reply.ok) return;
    for (const file of reply.json.files) {
      const link = document.createElement('a');
      link.href = '/api/runs/' + encodeURIComponent(id) + '/files/' + encodeURIComponent(file.name);
      link.download = file.name;
      link.textContent = file.name;
      link.dataset.file = file.name;
      box.append(link);
    }
  }

  // --- the latest file (as the live view draws it) --------------------------------------------

  function mergeRows(curves) {
    const rows = [];
    curves.forEach((curve, column) => {
      for (let k = 0; k < curve.x.length; ++k) {
        const row = new Array(curves.length + 1).fill(null);
        row[0] = curve.x[k];
        row[column + 1] = curve.y[k];
        rows.push(row);
      }
    });
    rows.sort((a, b) => a[0] - b[0]);
    return rows;
  }

  // Spectra are read with high wavenumbers on the left: drawn against -wavenumber.
  const wavenumberAxis = {
    axisLabelFormatter: (x) => String(Math.round(-x)),
    valueFormatter: (x) => (-x).toFixed(1) + ' cm⁻¹',
  };
  const negatedX = (curve) => ({ x: curve.x.map((x) => -x), y: curve.y });

  function drawChart(id, rows, names, xlabel, ylabel, xAxis) {
    if (rows.length === 0) return;
    const labels = [xlabel].concat(names);
    if (!charts[id]) {
      charts[id] = new Dygraph(element(id), rows, {
        labels: labels, xlabel: xlabel, ylabel: ylabel,
        colors: names.map((name) => colours[name] || '#444'),
        connectSeparatedPoints: true, strokeWidth: 1.2, legend: 'always',
        axes: { x: xAxis || {}, y: { axisLabelWidth: 70 } }, animatedZooms: false,
      });
    } else {
      charts[id].updateOptions({
        file: rows, labels: labels, ylabel: ylabel,
        colors: names.map((name) => colours[name] || '#444'),
      });
    }
  }

  // Each half's quality gates next to the plots; a failed half's spectrum is said plainly to be
  // untrustworthy, with what to try.
  function drawQuality(file) {
    const list = element('quality');
    list.replaceChildren();
    const failed = [];
    for (const half of file.halves) {
      if (!half.quality) {
        continue;
      }
      const item = document.createElement('li');
      item.className = 'quality-' + half.quality.worst;
      const problems = half.quality.gates.filter((gate) => gate.status !== 'ok');
      item.textContent = half.name + ': ' + half.quality.worst +
        (problems.length === 0 ? ' (every gate passed)'
                               : ' — ' + problems.map((gate) => gate.reason).join('; '));
      list.append(item);
      if (half.quality.worst === 'fail') {
        failed.push(half);
      }
    }
    const warning = element('spectrum-warning');
    warning.hidden = failed.length === 0;
    warning.textContent = failed.length === 0 ? '' : 'Do not trust this spectrum (' +
      failed.map((half) => half.name).join(', ') + '). ' + (failed[0].quality.hint || '');
    page.untrusted = failed.length > 0;
  }

  function drawFile(file) {
    const names = file.halves.map((half) => half.name);
    // One spectrum per file, as spectroscopists read it: the combined one, unless the person
    // asks for each direction.
    if (element('show-halves').checked || !file.combined) {
      drawChart('spectrum', mergeRows(file.halves.map((half) => negatedX(half.spectrum))), names,
                'wavenumber / cm⁻¹', file.spectrum_kind, wavenumberAxis);
    } else {
      drawChart('spectrum', mergeRows([negatedX(file.combined)]), ['combined'],
                'wavenumber / cm⁻¹', file.spectrum_kind, wavenumberAxis);
    }
    element('spectrum-title').textContent = 'Spectrum (' + file.spectrum_kind + ')';
    drawQuality(file);
    drawChart('zoom', mergeRows(file.halves.map((half) => half.zoom)), names,
              'samples from the centre burst', 'signal');
    drawChart('interferogram', mergeRows(file.halves.map((half) => half.interferogram)), names,
              'sample', 'signal');
    const trendNames = names.filter((name) => Array.isArray(file.trend[name]));
    drawChart('trend', file.trend.file.map((number, k) =>
      [number].concat(trendNames.map((name) => file.trend[name][k]))), trendNames, 'file',
              'peak to peak');
    element('file-number').textContent = String(file.file);
    element('file-time').textContent = file.timestamp.replace('T', ' ').replace('Z', ' UTC');
    const values = element('burst-values');
    values.replaceChildren();
    for (const half of file.halves) {
      const span = document.createElement('span');
      span.className = half.name;
      const name = document.createElement('span');
      name.className = 'half-name';
      name.textContent = half.name;
      span.append(name, formatNumber(half.centre_burst.height) + ' ');
      values.append(span);
    }
    page.lastFileNumber = file.file;
    page.spectrumKind = file.spectrum_kind;
    page.lastFile = file;
  }

  function drawProgress(progress) {
    element('progress-text').textContent = progress.text;
    const bar = element('scan-bar');
    bar.max = Math.max(progress.scans, 1);
    bar.value = Math.min(progress.scan, progress.scans);
    const missed = progress.files_missed > 0 ? ' · ' + progress.files_missed + ' missed' : '';
    element('status').textContent = 'driver: ' + progress.status.text + missed;
  }

  function draw() {
    pending.dirty = false;
    if (pending.file) { drawFile(pending.file); pending.file = null; }
    if (pending.progress) { drawProgress(pending.progress); pending.progress = null; }
  }

  function later(key, event) {
    pending[key] = JSON.parse(event.data);
    if (!pending.dirty) {
      pending.dirty = true;
      window.requestAnimationFrame(draw);
    }
  }

  function follow() {
    const source = new EventSource('/events');
    source.addEventListener('state', (event) => applyState(JSON.parse(event.data)));
    source.addEventListener('file', (event) => later('file', event));
    source.addEventListener('progress', (event) => later('progress', event));
    source.addEventListener('run', () => loadRuns());
    source.addEventListener('end', (event) => {
      const end = JSON.parse(event.data);
      element('footer').textContent = end.text;
    });
    source.addEventListener('error', (event) => {
      if (event.data !== undefined) {
        const error = JSON.parse(event.data);
        showError(error.message, error.detail, error.hint);
      } else {
        element('badge').textContent = 'reconnecting';
        element('badge').className = 'badge waiting';
      }
    });
  }

  // --- start --------------------------------------------------------------------------------------

  function wire() {
    buildSettingsForm();
    element('settings-form').addEventListener('submit', applySettings);
    element('error-close').addEventListener('click', () => { element('error').hidden = true; });
    element('connect').addEventListener('click', () => {
      const address = element('address').value.trim();
      act(element('connect'), 'POST', '/api/connection', address ? { address: address } : {});
    });
    element('disconnect').addEventListener('click',
      () => act(element('disconnect'), 'DELETE', '/api/connection'));
    element('calibrate').addEventListener('click',
      () => act(element('calibrate'), 'POST', '/api/calibration', {}));
    element('align').addEventListener('click',
      () => act(element('align'), 'POST', '/api/runs', { kind: 'align' }));
    element('background').addEventListener('click', () => act(element('background'), 'POST',
      '/api/runs', { kind: 'background', files: Number(element('background-files').value) }));
    element('sample').addEventListener('click', () => act(element('sample'), 'POST', '/api/runs', {
      kind: 'sample', name: element('sample-name').value,
      files: Number(element('sample-files').value),
    }));
    element('clear-background').addEventListener('click',
      () => act(element('clear-background'), 'DELETE', '/api/background'));
    element('stop').addEventListener('click', () => {
      const run = page.state && page.state.active_run;
      if (run) act(element('stop'), 'POST', '/api/runs/' + encodeURIComponent(run.id) + '/stop', {});
    });
    element('login-form').addEventListener('submit', (event) => {
      event.preventDefault();
      login(element('login-token').value.trim());
    });
    for (const button of document.querySelectorAll('#controls button')) button.disabled = true;
  }

  async function login(token) {
    if (token) {
      const reply = await fetch('/api/login', {
        method: 'POST', credentials: 'same-origin',
        headers: { Authorization: 'Bearer ' + token },
      });
      // The token leaves the address bar (and the history) once it has been used.
      if (window.location.hash) history.replaceState(null, '', window.location.pathname);
      if (!reply.ok) {
        element('login').hidden = false;
        showError('the token is wrong', '', 'copy the URL the server printed, or its .token file');
        return;
      }
    }
    const state = await api('GET', '/api/state');
    if (state.status === 401) {
      element('login').hidden = false;
      element('badge').textContent = 'no token';
      return;
    }
    element('login').hidden = true;
    element('error').hidden = true;
    applyState(state.json);
    fillSettings(state.json.settings);
    loadRuns();
    follow();
  }

  wire();
  const match = /(?:^#|&)token=([^&]+)/.exec(window.location.hash);
  login(match ? decodeURIComponent(match[1]) : '');
})();
