// The live view's page: follows the tool's event stream (/events) and draws the latest file.
// Events can arrive faster than a browser redraws four charts, so they only record the latest
// state and one animation frame draws it: the page never builds up a backlog.
'use strict';

(function () {
  const colours = { forward: '#1f6fd1', reverse: '#d1531f', combined: '#2b2b2b' };
  const state = { file: null, progress: null, error: null, end: null, dirty: false };
  const charts = {};
  // What the browser test and a curious person can inspect from the console.
  window.liveView = { charts: charts, filesShown: 0, lastFileNumber: null };

  const element = (id) => document.getElementById(id);

  function formatNumber(value) {
    if (value === null || value === undefined || !isFinite(value)) return '–';
    const size = Math.abs(value);
    if (size !== 0 && (size >= 1e6 || size < 1e-2)) return value.toExponential(3);
    return value.toPrecision(5);
  }

  function formatSeconds(seconds) {
    if (seconds === null || seconds === undefined) return '';
    if (seconds < 60) return seconds.toFixed(1) + ' s';
    const whole = Math.round(seconds);
    const minutes = Math.floor(whole / 60) % 60;
    const hours = Math.floor(whole / 3600);
    const pad = (n) => String(n).padStart(2, '0');
    return hours > 0 ? hours + ':' + pad(minutes) + ':' + pad(whole % 60)
                     : minutes + ':' + pad(whole % 60);
  }

  // Rows for one chart from one curve per half: the halves were thinned separately, so their
  // x values differ; each row carries the value of one half and a gap for the others.
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

  // Infrared spectra are read with high wavenumbers on the left. Dygraphs draws x rising to the
  // right, so a spectrum is drawn against -wavenumber and its labels show the wavenumber.
  const wavenumberAxis = {
    axisLabelFormatter: (x) => String(Math.round(-x)),
    valueFormatter: (x) => (-x).toFixed(1) + ' cm⁻¹',
  };

  function negatedX(curve) {
    return { x: curve.x.map((x) => -x), y: curve.y };
  }

  function drawChart(id, rows, names, xlabel, ylabel, xAxis) {
    if (rows.length === 0) return;
    const labels = [xlabel].concat(names);
    if (!charts[id]) {
      charts[id] = new Dygraph(element(id), rows, {
        labels: labels,
        xlabel: xlabel,
        ylabel: ylabel,
        colors: names.map((name) => colours[name] || '#444'),
        connectSeparatedPoints: true,
        strokeWidth: 1.2,
        legend: 'always',
        labelsSeparateLines: false,
        axes: { x: xAxis || {}, y: { axisLabelWidth: 70 } },
        animatedZooms: false,
      });
    } else {
      charts[id].updateOptions({
        file: rows, labels: labels, colors: names.map((name) => colours[name] || '#444'),
      });
    }
  }

  function drawFile(file) {
    const names = file.halves.map((half) => half.name);
    drawChart('interferogram', mergeRows(file.halves.map((half) => half.interferogram)), names,
              'sample', 'signal');
    drawChart('zoom', mergeRows(file.halves.map((half) => half.zoom)), names,
              'samples from the centre burst', 'signal');
    // One spectrum per file, as spectroscopists read it: the combined one, unless the person
    // asks for each direction.
    const halvesWanted = element('show-halves').checked || !file.combined;
    if (halvesWanted) {
      drawChart('spectrum', mergeRows(file.halves.map((half) => negatedX(half.spectrum))), names,
                'wavenumber / cm⁻¹', file.spectrum_kind, wavenumberAxis);
    } else {
      drawChart('spectrum', mergeRows([negatedX(file.combined)]), ['combined'],
                'wavenumber / cm⁻¹', file.spectrum_kind, wavenumberAxis);
    }
    element('spectrum-title').textContent = 'Spectrum (' + file.spectrum_kind + ')';
    drawQuality(file);

    const trendNames = names.filter((name) => Array.isArray(file.trend[name]));
    const trendRows = file.trend.file.map((number, k) =>
      [number].concat(trendNames.map((name) => file.trend[name][k])));
    drawChart('trend', trendRows, trendNames, 'file', 'peak to peak');

    element('file-number').textContent = String(file.file);
    element('file-time').textContent = file.timestamp.replace('T', ' ').replace('Z', ' UTC');
    const values = element('burst-values');
    values.replaceChildren();
    file.halves.forEach((half) => {
      const span = document.createElement('span');
      span.className = half.name;
      const name = document.createElement('span');
      name.className = 'half-name';
      name.textContent = half.name;
      span.append(name, formatNumber(half.centre_burst.height) + ' ');
      values.append(span);
    });
    element('burst-change').textContent = burstChange(file, names);
    window.liveView.filesShown += 1;
    window.liveView.lastFileNumber = file.file;
  }

  // Each half's quality gates next to the plots; a failed half's spectrum is said plainly to be
  // untrustworthy, with what to try.
  function drawQuality(file) {
    const list = element('quality');
    list.replaceChildren();
    const failed = [];
    file.halves.forEach((half) => {
      if (!half.quality) {
        return;
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
    });
    const warning = element('spectrum-warning');
    if (failed.length === 0) {
      warning.hidden = true;
      warning.textContent = '';
    } else {
      warning.hidden = false;
      warning.textContent = 'Do not trust this spectrum (' +
        failed.map((half) => half.name).join(', ') + '). ' + (failed[0].quality.hint || '');
    }
    window.liveView.untrusted = failed.length > 0;
  }

  // The change since the previous file and the best so far, for the first half: what a person
  // aligning the interferometer is pushing up.
  function burstChange(file, names) {
    const heights = file.trend[names[0]];
    if (!heights || heights.length < 2) return '';
    const latest = heights[heights.length - 1];
    const previous = heights[heights.length - 2];
    let best = 0;
    heights.forEach((height, k) => { if (height > heights[best]) best = k; });
    const change = previous !== 0 ? (100 * (latest - previous) / Math.abs(previous)) : 0;
    const changeText = change.toFixed(1) === '-0.0' ? '0.0' : change.toFixed(1);
    return names[0] + ': ' + (change > 0 && changeText !== '0.0' ? '+' : '') + changeText +
           ' % since file ' +
           file.trend.file[heights.length - 2] + '; best ' + formatNumber(heights[best]) +
           ' at file ' + file.trend.file[best];
  }

  function drawProgress(progress) {
    element('progress-text').textContent = progress.text;
    const bar = element('scan-bar');
    bar.max = Math.max(progress.scans, 1);
    bar.value = Math.min(progress.scan, progress.scans);
    const missed = progress.files_missed > 0 ? ' · ' + progress.files_missed + ' missed' : '';
    element('status').textContent = 'driver: ' + progress.status.text + missed;
    element('instrument').textContent = progress.address +
      (progress.simulator ? ' (simulator)' : '') + ' · ' + formatSeconds(progress.elapsed_s) +
      ' elapsed' + (progress.remaining_s !== null ? ', about ' +
      formatSeconds(progress.remaining_s) + ' left' : '');
  }

  function drawError(error) {
    element('error').hidden = false;
    element('error-message').textContent = error.message;
    element('error-detail').textContent = error.detail;
    element('error-hint').textContent = error.hint ? 'hint: ' + error.hint : '';
  }

  function setBadge(text, kind) {
    const badge = element('connection');
    badge.textContent = text;
    badge.className = 'badge ' + kind;
  }

  function draw() {
    state.dirty = false;
    if (state.file) { drawFile(state.file); state.file = null; }
    if (state.progress) { drawProgress(state.progress); state.progress = null; }
    if (state.error) { drawError(state.error); state.error = null; }
    if (state.end) {
      setBadge('run ' + state.end.status, state.end.status === 'failed' ? 'failed' : 'ended');
      element('footer').textContent = state.end.text;
      state.end = null;
    }
  }

  function record(key, event) {
    state[key] = JSON.parse(event.data);
    if (!state.dirty) {
      state.dirty = true;
      window.requestAnimationFrame(draw);
    }
  }

  const source = new EventSource('/events');
  source.addEventListener('open', () => setBadge('live', 'live'));
  source.addEventListener('progress', (event) => record('progress', event));
  source.addEventListener('file', (event) => record('file', event));
  source.addEventListener('end', (event) => {
    // The run is over and the tool stops serving: no reconnecting to a server that is gone.
    source.close();
    record('end', event);
  });
  source.addEventListener('error', (event) => {
    if (event.data !== undefined) {
      record('error', event);
    } else if (source.readyState !== EventSource.CLOSED) {
      setBadge('reconnecting', 'waiting');
    }
  });
})();
