// The report in a real browser: Debian's Chromium, headless, driven by
// playwright-core. Pages are opened from file:// with the network cut off,
// as a tester opens one that was mailed to them.
//
//   node report_test.mjs --perfprobe BIN --artefacts DIR
//       makes recordings, turns them into reports with BIN and checks the
//       pages: no console error, no request beyond the file, every chart's
//       points, zoom, hover, markers, "not recorded"; keeps a screenshot in
//       DIR; prints the time a 2-hour report takes to make and to draw.
//   node report_test.mjs --smoke PAGE.html
//       checks one page as made (the demo's): it loads clean and draws every
//       chart.
// Exit status: 0 passed, 1 failed, 77 skipped (no Chromium or driver here).
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { makeRecording } from './recordings.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const chromiumPath = process.env.CHROMIUM ?? '/usr/bin/chromium';
const driverPath = join(here, '../../node_modules/playwright-core/index.mjs');

function skip(why) {
  console.log(`SKIPPED: ${why}`);
  process.exit(77);
}

const args = process.argv.slice(2);
const option = (name) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : undefined;
};
if (!existsSync(chromiumPath)) skip(`no Chromium at ${chromiumPath} (Debian: apt-get install chromium)`);
if (!existsSync(driverPath)) skip('playwright-core is not in node_modules (npm ci)');
const { chromium } = await import(pathToFileURL(driverPath).href);

const failures = [];
function check(what, ok, detail = '') {
  if (!ok) {
    failures.push(what);
    console.log(`FAIL: ${what}${detail ? `: ${detail}` : ''}`);
  }
}

// As root and on a machine without a network: no sandbox, and none of the
// background connections Chromium makes on its own.
const browser = await chromium.launch({
  executablePath: chromiumPath,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

// Opens a page and waits until its charts are drawn; every console error,
// page error and request is kept.
async function open(file, viewport = { width: 1280, height: 900 }) {
  const context = await browser.newContext({ viewport, offline: true });
  const page = await context.newPage();
  const seen = { errors: [], requests: [] };
  page.on('console', (m) => {
    if (m.type() === 'error' || m.type() === 'warning') seen.errors.push(`${m.type()}: ${m.text()}`);
  });
  page.on('pageerror', (e) => seen.errors.push(`page error: ${e.message}`));
  page.on('request', (r) => seen.requests.push(r.url()));
  const url = pathToFileURL(file).href;
  await page.goto(url);
  await page.waitForFunction(() => window.perfprobeReport && window.perfprobeReport.drawnMs != null,
    null, { timeout: 60000 });
  const outside = seen.requests.filter((r) => r !== url);
  return { page, context, seen, outside };
}

function checkClean(name, opened) {
  check(`${name}: no console error`, opened.seen.errors.length === 0, opened.seen.errors.join(' | '));
  check(`${name}: no request outside the file`, opened.outside.length === 0, opened.outside.join(' '));
}

// What every chart holds: per chart, the recording's name, x values and each
// series' label and values.
async function chartsOf(page) {
  return page.evaluate(() => window.perfprobeReport.charts.map((c) => ({
    chart: c.chart,
    recording: c.recording,
    x: Array.from(c.plot.data[0]),
    series: c.plot.series.slice(1).map((s, i) => ({ label: s.label, values: Array.from(c.plot.data[i + 1]) })),
    min: c.plot.scales.x.min,
    max: c.plot.scales.x.max,
  })));
}

async function smoke(file) {
  const opened = await open(resolve(file));
  checkClean(file, opened);
  const charts = await chartsOf(opened.page);
  const ids = await opened.page.evaluate(() => Array.from(document.querySelectorAll('.chart-row'), (r) => r.id));
  const empty = await opened.page.evaluate(() => document.querySelectorAll('div.not-recorded').length);
  check(`${file}: seven chart rows`, ids.length === 7, ids.join(' '));
  check(`${file}: every chart drawn`, charts.length === ids.length && empty === 0,
    `${charts.length} charts, ${empty} not recorded`);
  const canvases = await opened.page.evaluate(() => document.querySelectorAll('.uplot canvas').length);
  check(`${file}: a canvas per chart`, canvases === charts.length, `${canvases}`);
  const drawn = await opened.page.evaluate(() => window.perfprobeReport.drawnMs);
  console.log(`${file}: opened and drawn in ${drawn.toFixed(0)} ms`);
  await opened.context.close();
}

// The series each chart should hold, by label, from a recording made by
// makeRecording: the recorded values as shown (kHz as MHz), null where none.
function expectedCharts(rec) {
  const v = rec.values;
  const mhz = (name) => v[name].map((x) => (x === null ? null : x / 1000));
  const where = (when, at) => at.map((x, k) => (v[when][k] > 0 ? x : null));
  const out = {};
  out.fps = { FPS: v.fps };
  if (v.jank) {
    out.fps.jank = where('jank', v.fps);
    out.fps['big jank'] = where('big_jank', v.fps);
    out.frame_time = { p50: v.frame_ms_p50, p95: v.frame_ms_p95, max: v.frame_ms_max,
      jank: where('jank', v.frame_ms_max) };
  }
  if (v['cluster0-3_khz']) {
    out.cpu_clock = {};
    for (const c of ['0-3', '4-6', '7']) {
      out.cpu_clock[`cpu${c}`] = mhz(`cluster${c}_khz`);
      out.cpu_clock[`cpu${c} max`] = mhz(`cluster${c}_max_khz`);
    }
    out.cpu_load = { CPU: v.cpu_load_pct, 'cpu0-3 load': v['cluster0-3_load_pct'],
      'cpu4-6 load': v['cluster4-6_load_pct'], 'cpu7 load': v.cluster7_load_pct };
    out.gpu = { 'GPU clock': mhz('gpu_khz'), 'GPU max': mhz('gpu_max_khz'), 'GPU busy': v.gpu_busy_pct };
    out.temperature = { hottest: v.temp_hottest_c, skin_therm: v.temp_skin_therm_c, battery: v.temp_battery_c };
    out.power = { power: v.battery_mw };
  } else {
    // Without clusters, the CPUs that showed one clock throughout are one line.
    out.cpu_clock = { 'cpu0-3': mhz('cpu0_khz'), 'cpu4-6': mhz('cpu4_khz'), cpu7: mhz('cpu7_khz') };
  }
  return out;
}

function sameValues(got, want) {
  if (got.length !== want.length) return `${got.length} points for ${want.length}`;
  for (let k = 0; k < want.length; ++k) {
    const g = got[k] ?? null;
    const w = want[k];
    if (w === null ? g !== null : g === null || Math.abs(g - w) > 1e-9 * Math.max(1, Math.abs(w))) {
      return `point ${k}: ${g} for ${w}`;
    }
  }
  return '';
}

function checkPoints(name, charts, rec) {
  const want = expectedCharts(rec);
  const mine = charts.filter((c) => c.recording === name);
  check(`${name}: a chart for each that has data`,
    mine.map((c) => c.chart).sort().join() === Object.keys(want).sort().join(),
    `${mine.map((c) => c.chart)} for ${Object.keys(want)}`);
  for (const c of mine) {
    const bad = sameValues(c.x, rec.times);
    check(`${name} ${c.chart}: the sample times`, bad === '', bad);
    const labels = c.series.map((s) => s.label);
    const wanted = want[c.chart] ?? {};
    check(`${name} ${c.chart}: its series`, labels.join('|') === Object.keys(wanted).join('|'),
      `${labels} for ${Object.keys(wanted)}`);
    for (const s of c.series) {
      if (!wanted[s.label]) continue;
      const diff = sameValues(s.values, wanted[s.label]);
      check(`${name} ${c.chart} "${s.label}": the recorded points`, diff === '', diff);
    }
  }
}

// The summary table as text: { row label: [cell per recording] }.
async function summaryOf(page) {
  return page.evaluate(() => {
    const out = {};
    for (const row of document.querySelectorAll('table.summary tbody tr:not(.group)')) {
      out[row.querySelector('th').textContent] = Array.from(row.querySelectorAll('td'), (td) => td.textContent);
    }
    return out;
  });
}

// A PNG's width and height, from its header.
function pngSize(file) {
  const b = readFileSync(file);
  return { width: b.readUInt32BE(16), height: b.readUInt32BE(20), bytes: b.length };
}

async function full(perfprobe, artefacts) {
  const work = mkdtempSync(join(tmpdir(), 'perfprobe-report-'));
  try {
    const marks = [{ t: 100, label: 'boss fight' }, { t: 250.5, label: '</script> & <b>loot</b>' }];
    const a = makeRecording({ samples: 600, seed: 7, marks });
    const b = makeRecording({ samples: 400, seed: 9, frameStats: false, clusters: false, ended: false });
    writeFileSync(join(work, 'before.jsonl'), a.text);
    writeFileSync(join(work, 'old-daemon.jsonl'), b.text);
    const page = join(work, 'report.html');
    execFileSync(perfprobe, ['report', join(work, 'before.jsonl'), join(work, 'old-daemon.jsonl'), '-o', page],
      { stdio: ['ignore', 'inherit', 'inherit'] });

    const opened = await open(page);
    checkClean('two recordings', opened);
    const charts = await chartsOf(opened.page);
    checkPoints('before.jsonl', charts, a);
    checkPoints('old-daemon.jsonl', charts, b);
    check('every chart on the whole time of the longer run',
      charts.every((c) => c.min === 0 && c.max === a.times.at(-1)), charts.map((c) => `${c.min}-${c.max}`).join());

    // The summary: the old daemon's recording gives no frame statistics.
    const summary = await summaryOf(opened.page);
    for (const row of ['jank per 10 min', 'stutter', 'frame time p95 (median of samples)', 'longest frame',
      'load mean', 'hottest', 'battery power mean']) {
      check(`summary "${row}": a value, then "not recorded"`,
        summary[row] && summary[row][0] !== 'not recorded' && !/^0(\.0*)?( |$)/.test(summary[row][0]) &&
        summary[row][1] === 'not recorded', JSON.stringify(summary[row]));
    }
    check('summary: both have an FPS median', summary['FPS median']?.every((c) => /^\d+\.\d$/.test(c)),
      JSON.stringify(summary['FPS median']));
    check('summary: the old daemon\'s clusters from its CPUs', summary['cpu4-6 clock max']?.[1]?.endsWith(' MHz'),
      JSON.stringify(summary['cpu4-6 clock max']));
    const notRecordedCells = await opened.page.evaluate(() => document.querySelectorAll('div.not-recorded').length);
    // Frame time, CPU load, GPU, temperature and power.
    check('the old daemon\'s missing charts say "not recorded"', notRecordedCells === 5, `${notRecordedCells}`);

    // The markers: on every chart of their recording, where they were set.
    const markers = await opened.page.evaluate(() => window.perfprobeReport.charts
      .filter((c) => c.recording === 'before.jsonl')
      .map((c) => Array.from(c.plot.over.querySelectorAll('.marker'), (m) => ({
        t: Number(m.dataset.t), label: m.textContent, left: parseFloat(m.style.left),
        at: c.plot.valToPos(Number(m.dataset.t), 'x'), shown: m.style.display !== 'none',
      }))));
    check('a marker on every chart of its recording', markers.length === 7 && markers.every((m) => m.length === 2),
      JSON.stringify(markers.map((m) => m.length)));
    for (const m of markers.flat()) {
      check(`marker "${m.label}" at ${m.t} s`, m.shown && Math.abs(m.left - m.at) < 0.5 &&
        marks.some((x) => x.t === m.t && x.label === m.label), JSON.stringify(m));
    }
    const listed = await opened.page.evaluate(() => document.querySelector('table.marks')?.textContent ?? '');
    check('the markers listed with their labels as text', listed.includes('boss fight') &&
      listed.includes('</script> & <b>loot</b>'), listed);

    // Zoom: a drag across the first chart's plot sets every chart's range.
    const box = await opened.page.evaluate(() => {
      const over = window.perfprobeReport.charts[0].plot.over;
      over.scrollIntoView({ block: 'center' });
      const r = over.getBoundingClientRect();
      return { x: r.x, y: r.y, width: r.width, height: r.height };
    });
    const y = box.y + box.height / 2;
    await opened.page.mouse.move(box.x + box.width * 0.25, y);
    await opened.page.mouse.down();
    await opened.page.mouse.move(box.x + box.width * 0.4, y, { steps: 5 });
    await opened.page.mouse.move(box.x + box.width * 0.5, y, { steps: 5 });
    await opened.page.mouse.up();
    let zoomed = await chartsOf(opened.page);
    const first = zoomed[0];
    check('the drag zoomed its chart', first.min > 100 && first.max < 350 && first.max > first.min,
      `${first.min}-${first.max}`);
    check('the zoom of one chart is the zoom of all',
      zoomed.every((c) => c.min === first.min && c.max === first.max),
      zoomed.map((c) => `${c.chart} ${c.min}-${c.max}`).join(', '));
    const moved = await opened.page.evaluate(() => {
      const c = window.perfprobeReport.charts.find((x) => x.chart === 'power');
      const m = c.plot.over.querySelector('.marker[data-t="250.5"]');
      return { left: parseFloat(m.style.left), at: c.plot.valToPos(250.5, 'x') };
    });
    check('a marker follows the zoom', Math.abs(moved.left - moved.at) < 0.5, JSON.stringify(moved));

    // Hover: the cursor stands at the same moment on every chart, and the
    // legend shows the values there.
    await opened.page.mouse.move(box.x + box.width * 0.5, y);
    const hover = await opened.page.evaluate(() => window.perfprobeReport.charts.map((c) => ({
      chart: c.chart, recording: c.recording, idx: c.plot.cursor.idx,
      t: c.plot.cursor.idx == null ? null : c.plot.data[0][c.plot.cursor.idx],
      legend: c.plot.root.querySelector('.u-legend')?.textContent ?? '',
    })));
    const at = hover[0];
    check('hovering picks a sample', at.idx != null, JSON.stringify(at));
    check('every chart of the recording shows the same moment',
      hover.filter((h) => h.recording === 'before.jsonl').every((h) => h.t === at.t), JSON.stringify(hover.map((h) => h.t)));
    if (at.idx != null) {
      const fps = a.values.fps[at.idx];
      check('the legend shows the value at that moment', at.legend.includes(`${fps.toFixed(1)} FPS`),
        `${at.legend} for ${fps}`);
    }

    // A double-click shows the whole run again, on every chart.
    await opened.page.mouse.dblclick(box.x + box.width * 0.5, y);
    zoomed = await chartsOf(opened.page);
    check('a double-click shows the whole run on every chart',
      zoomed.every((c) => c.min === 0 && c.max === a.times.at(-1)), zoomed.map((c) => `${c.min}-${c.max}`).join());

    mkdirSync(artefacts, { recursive: true });
    const shot = join(artefacts, 'report.png');
    await opened.page.mouse.move(0, 0);
    await opened.page.screenshot({ path: shot, fullPage: true });
    const size = pngSize(shot);
    // Seven rows of charts and the summary, in colour: far more than a
    // blank page's few kilobytes.
    check('the screenshot is the whole page', size.width === 1280 && size.height > 2500 && size.bytes > 100000,
      JSON.stringify(size));
    console.log(`screenshot: ${shot} (${size.width}x${size.height}, ${size.bytes} bytes)`);
    await opened.context.close();

    // Two hours at a sample a second: the time to make the page, and to open it.
    const long = join(work, 'two-hours.jsonl');
    writeFileSync(long, makeRecording({ samples: 7200, seed: 3, marks }).text);
    const longPage = join(work, 'two-hours.html');
    const timed = spawnSync('bash', ['-c', 'TIMEFORMAT="%U %S %R"; time "$0" report "$1" -o "$2" >/dev/null', perfprobe,
      long, longPage], { encoding: 'utf8' });
    check('the 2-hour report is made', timed.status === 0, timed.stderr);
    const [user, sys, real] = timed.stderr.trim().split('\n').at(-1).split(' ').map(Number);
    console.log(`report of 7200 samples (${(statSync(long).size / 1e6).toFixed(1)} MB): ` +
      `${(user + sys).toFixed(2)} s CPU (${user} user, ${sys} sys), ${real} s wall; ` +
      `page ${(statSync(longPage).size / 1e6).toFixed(1)} MB`);
    const longOpened = await open(longPage);
    checkClean('two hours', longOpened);
    const longCharts = await chartsOf(longOpened.page);
    check('two hours: every chart drawn with every sample',
      longCharts.length === 7 && longCharts.every((c) => c.x.length === 7200), `${longCharts.length}`);
    const ms = await longOpened.page.evaluate(() => [window.perfprobeReport.drawnMs, window.perfprobeReport.scriptMs]);
    console.log(`report of 7200 samples: opened and drawn in ${ms[0].toFixed(0)} ms (its script ${ms[1].toFixed(0)} ms)`);
    await longOpened.context.close();
  } finally {
    rmSync(work, { recursive: true, force: true });
  }
}

try {
  if (option('--smoke')) {
    await smoke(option('--smoke'));
  } else {
    const perfprobe = option('--perfprobe');
    if (!perfprobe) throw new Error('usage: report_test.mjs --perfprobe BIN --artefacts DIR | --smoke PAGE');
    await full(resolve(perfprobe), resolve(option('--artefacts') ?? 'test-artefacts'));
  }
} finally {
  await browser.close();
}
if (failures.length) {
  console.log(`${failures.length} check(s) failed`);
  process.exit(1);
}
console.log('all checks passed');
